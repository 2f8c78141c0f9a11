// The live page: renders what the lab service judged, never judges itself.
// Every text from the network goes in through textContent. Ages are worked out
// from the readings' timestamps and the service's clock, so a tab the browser
// throttled for an hour is right the moment it is shown again.
"use strict";

(function () {
  const SILENCE_MS = 1500; // the service sends at least every 600 ms
  const RETRY_MS = 1000;
  const REFUSED_RETRY_MS = 15000;

  const tiles = new Map(); // id -> {data, li, parts}
  let socket = null;
  let seq = null; // the sequence number of what is shown; null: no snapshot
  let offsetMs = 0; // service clock minus this one's
  let lastHeard = 0; // this clock, the last message
  let quietSince = 0; // this clock, the last message or the socket's opening
  let lostSince = null; // the service's clock, the last message before contact went
  let summary = "";
  let retryTimer = null;
  let lastTick = Date.now();
  let wokeAt = 0; // this clock, the tab last shown or thawed
  let refused = false; // the service has its viewers: wait before asking again

  const $ = (id) => document.getElementById(id);

  function pad(n) { return String(n).padStart(2, "0"); }
  function clock(ms) {
    const d = new Date(ms);
    return pad(d.getHours()) + ":" + pad(d.getMinutes()) + ":" + pad(d.getSeconds());
  }
  function serviceNow() { return Date.now() + offsetMs; }

  // Word for word as the fleet window says an age.
  function ageText(ms) {
    if (ms <= 1000) return "";
    const s = Math.floor(ms / 1000);
    if (s < 120) return s + " s old";
    if (s < 7200) return Math.floor(s / 60) + " min old";
    if (s < 2 * 86400) return Math.floor(s / 3600) + " h old";
    return Math.floor(s / 86400) + " days old";
  }

  function element(tag, className) {
    const e = document.createElement(tag);
    if (className) e.className = className;
    return e;
  }

  function makeTile() {
    const li = element("li", "tile");
    li.tabIndex = 0;
    const head = element("div", "head");
    const mark = element("span", "mark");
    mark.setAttribute("aria-hidden", "true");
    const name = element("span", "name");
    const word = element("span", "word");
    head.append(mark, name, word);
    const readouts = element("p", "readouts");
    const notes = element("p", "notes");
    li.append(head, readouts, notes);
    return { li, parts: { mark, name, word, readouts, notes } };
  }

  function renderReadouts(t) {
    const d = t.data;
    let text = d.readouts.length ? d.readouts.join(", ") : "no reading yet";
    if (d.readingMs !== null) {
      const age = ageText(serviceNow() - d.readingMs);
      if (age) text += " (" + age + ")";
    }
    t.parts.readouts.textContent = text;
  }

  function renderTile(t) {
    const d = t.data;
    t.li.className = "tile s" + d.state + (d.greyed ? " greyed" : "");
    t.li.dataset.state = d.word;
    t.li.setAttribute("aria-label", d.name + ": " + d.word);
    t.parts.mark.className = "mark " + d.shape;
    t.parts.name.textContent = d.name;
    t.parts.word.textContent = d.word;
    renderReadouts(t);
    t.parts.notes.textContent = d.notes.concat(d.events, d.details).join("; ");
  }

  function order() {
    const list = $("tiles");
    const sorted = Array.from(tiles.values()).sort((a, b) =>
      a.data.rank - b.data.rank || a.data.name.localeCompare(b.data.name));
    const now = Array.from(list.children);
    if (sorted.length === now.length && sorted.every((t, i) => t.li === now[i])) return;
    const focused = document.activeElement;
    list.replaceChildren(...sorted.map((t) => t.li));
    if (focused && list.contains(focused)) focused.focus();
  }

  function take(generators, announce) {
    const said = [];
    for (const g of generators) {
      let t = tiles.get(g.id);
      if (!t) {
        t = makeTile();
        tiles.set(g.id, t);
      } else if (announce && t.data.state !== g.state) {
        said.push(g.name + ": " + g.word);
      }
      t.data = g;
      renderTile(t);
    }
    if (said.length) $("announce").textContent = said.slice(0, 5).join(". ");
  }

  function renderAlarms(alarms) {
    const list = $("alarms");
    list.replaceChildren(...alarms.map((a) => {
      const li = element("li");
      li.textContent = a.text;
      return li;
    }));
    $("no-alarms").hidden = alarms.length > 0;
  }

  function showContact() {
    const lost = lostSince !== null;
    document.body.classList.toggle("lost", lost);
    const line = $("contact");
    line.hidden = !lost;
    if (lost) line.textContent = "no contact with the lab service since " + clock(lostSince);
  }

  function onMessage(event) {
    let m;
    try {
      m = JSON.parse(event.data);
    } catch (e) {
      return resync();
    }
    lastHeard = quietSince = Date.now();
    refused = m.type === "refused";
    if (refused) {
      $("summary").textContent = m.text;
      socket.close();
      return;
    }
    if (typeof m.seq !== "number" || typeof m.serverMs !== "number") return resync();
    offsetMs = m.serverMs - Date.now();
    if (m.type === "snapshot") {
      tiles.clear();
      take(m.generators || [], false);
    } else if (m.type === "delta" && seq !== null && m.seq === seq + 1) {
      take(m.generators || [], true);
    } else {
      // A delta that does not follow what is shown: start again from a snapshot.
      return resync();
    }
    seq = m.seq;
    if (typeof m.summary === "string") summary = m.summary;
    if (Array.isArray(m.alarms)) renderAlarms(m.alarms);
    $("summary").textContent = summary;
    if (lostSince !== null) {
      lostSince = null;
      showContact();
    }
    order();
    // Read-only, for the benchmark's latency: what was last applied, and when.
    window.ondrelLastApplied = { seq: m.seq, at: Date.now(), generators: m.generators || [] };
  }

  function lose() {
    if (lostSince === null && lastHeard) {
      lostSince = lastHeard + offsetMs;
      showContact();
    }
  }

  function resync() {
    seq = null;
    if (socket) socket.close();
  }

  function connect() {
    retryTimer = null;
    const scheme = location.protocol === "https:" ? "wss://" : "ws://";
    const s = new WebSocket(scheme + location.host + "/live");
    socket = s;
    s.onmessage = onMessage;
    s.onclose = (e) => {
      if (socket !== s) return;
      seq = null;
      socket = null;
      if (!lastHeard) lastHeard = Date.now();
      lose();
      if (!retryTimer)
        retryTimer = setTimeout(connect, e.code === 1013 ? REFUSED_RETRY_MS
          : Date.now() - wokeAt < RETRY_MS ? 0 : RETRY_MS);
    };
    quietSince = Date.now();
  }

  // What time alone changes: ages, and a service gone quiet without closing.
  function tick() {
    // Timers that did not run (a frozen or throttled tab) say nothing of the
    // service: what it sent meanwhile is still queued behind this tick, so it
    // gets a moment to arrive before silence counts.
    const now = Date.now();
    if (now - lastTick > SILENCE_MS) quietSince = Math.max(quietSince, now - SILENCE_MS + 500);
    lastTick = now;
    if (socket && now - quietSince > SILENCE_MS) {
      if (!lastHeard) lastHeard = quietSince;
      lose();
      const s = socket;
      socket = null;
      s.close();
      if (!retryTimer) retryTimer = setTimeout(connect, RETRY_MS);
    }
    for (const t of tiles.values()) renderReadouts(t);
  }

  // A tab shown again, or thawed, asks at once rather than when its retry
  // timer, itself delayed in the background, comes round.
  // A close held back while it was frozen comes after this: it asks at once too.
  function wake() {
    wokeAt = Date.now();
    tick();
    if (!socket && retryTimer && !refused) {
      clearTimeout(retryTimer);
      connect();
    }
  }

  document.addEventListener("visibilitychange", () => {
    if (!document.hidden) wake();
  });
  document.addEventListener("resume", wake);
  setInterval(tick, 250);
  connect();
})();
