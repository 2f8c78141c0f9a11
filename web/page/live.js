// The live page: renders what the lab service judged, never judges itself.
// Every text from the network goes in through textContent. Ages are worked out
// from the readings' timestamps and the service's clock, so a tab the browser
// throttled for an hour is right the moment it is shown again.
"use strict";

(function () {
  const SILENCE_MS = 1500; // the service sends at least every 600 ms
  const RETRY_MS = 1000;
  const REFUSED_RETRY_MS = 15000;

  const tiles = new Map(); // generator's number -> {data, li, parts, put}
  // The tiles on the screen, or nearly: the service sends read-outs for these
  // only. The others keep theirs, with their true age, until scrolled into view.
  const shown = new Set();
  let shownSaid = "";
  let shownTimer = null;
  let reorder = false;
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

  const watcher = new IntersectionObserver((entries) => {
    for (const e of entries) {
      const n = Number(e.target.dataset.n);
      const t = tiles.get(n);
      if (!t || t.li !== e.target) continue; // a tile of an earlier snapshot
      if (e.isIntersecting) shown.add(n); else shown.delete(n);
      t.onScreen = e.isIntersecting;
      renderReadouts(t);
    }
    sayShown();
  }, { rootMargin: "0px" });

  // At most ten times a second, and only what changed: scrolling says a lot.
  function sayShown() {
    if (shownTimer !== null) return;
    shownTimer = setTimeout(() => {
      shownTimer = null;
      if (!socket || seq === null || socket.readyState !== WebSocket.OPEN) return;
      const text = JSON.stringify({ shows: Array.from(shown).sort((a, b) => a - b) });
      if (text === shownSaid) return;
      shownSaid = text;
      socket.send(text);
    }, 100);
  }

  // A tile's elements are made when it is first drawn: a snapshot of a
  // thousand draws the first screenful at once and the rest in the tasks after,
  // so that the screen shows the fleet before the page has made every tile.
  function makeTile(n, data) {
    return { n, data, li: null, parts: null, put: null, onScreen: true };
  }

  function build(t) {
    const li = element("li", "tile");
    li.tabIndex = 0;
    li.dataset.n = t.n;
    const head = element("div", "head");
    const mark = element("span", "mark");
    mark.setAttribute("aria-hidden", "true");
    const name = element("span", "name");
    const word = element("span", "word");
    head.append(mark, name, word);
    const readouts = element("p", "readouts");
    const notes = element("p", "notes");
    li.append(head, readouts, notes);
    // Writes only what differs from the last write: a thousand tiles a few
    // times a second must not cost the browser a thousand re-layouts.
    const last = {};
    t.put = (key, value, write) => {
      if (last[key] === value) return;
      last[key] = value;
      write(value);
    };
    t.li = li;
    t.parts = { mark, name, word, readouts, notes };
    renderTile(t);
    watcher.observe(li);
    return li;
  }

  const FIRST_TILES = 200; // more than a wall screen holds
  const TILES_A_TASK = 250;
  let unbuilt = []; // in the order they were sorted when the snapshot came

  function buildSome() {
    const lis = [];
    while (unbuilt.length && lis.length < TILES_A_TASK) {
      const t = unbuilt.shift();
      if (!t.li && tiles.get(t.n) === t) lis.push(build(t));
    }
    $("tiles").append(...lis);
    order(); // states may have changed since the snapshot was sorted
    if (unbuilt.length) setTimeout(buildSome, 0);
  }

  function showSnapshot() {
    const sorted = Array.from(tiles.values()).sort(byAttention);
    const first = sorted.slice(0, FIRST_TILES);
    unbuilt = sorted.slice(FIRST_TILES);
    $("tiles").replaceChildren(...first.map(build));
    reorder = false;
    if (unbuilt.length) setTimeout(buildSome, 0);
  }

  function renderReadouts(t) {
    if (!t.li) return;
    const d = t.data;
    let text = d.readouts.length ? d.readouts.join(", ") : "no reading yet";
    if (d.readingMs !== null) {
      // A tile off the screen is not kept current: its read-outs say when
      // they were read, which stays true without rewriting a thousand ages a
      // second for nobody to see (a screen reader still reads them).
      const age = t.onScreen ? ageText(serviceNow() - d.readingMs) : "read at " + clock(d.readingMs);
      if (age) text += " (" + age + ")";
    }
    t.put("readouts", text, (v) => { t.parts.readouts.textContent = v; });
  }

  function renderNotes(t) {
    if (!t.li) return;
    const d = t.data;
    const details = [d.version, d.beamTime, d.lastHeard, d.missed].filter((text) => text);
    t.put("notes", d.notes.concat(d.events, details).join("; "),
      (v) => { t.parts.notes.textContent = v; });
  }

  function renderTile(t) {
    if (!t.li) return;
    const d = t.data;
    const p = t.parts;
    t.put("class", "tile s" + d.state + (d.greyed ? " greyed" : ""), (v) => { t.li.className = v; });
    t.put("word", d.word, (v) => { t.li.dataset.state = v; p.word.textContent = v; });
    t.put("label", d.name + ": " + d.word, (v) => { t.li.setAttribute("aria-label", v); });
    t.put("shape", d.shape, (v) => { p.mark.className = "mark " + v; });
    t.put("name", d.name, (v) => { p.name.textContent = v; });
    renderReadouts(t);
    renderNotes(t);
  }

  const byName = new Intl.Collator().compare; // localeCompare's order, without its cost a call
  function byAttention(a, b) {
    return a.data.rank - b.data.rank || byName(a.data.name, b.data.name);
  }

  function order() {
    reorder = false;
    const list = $("tiles");
    const sorted = Array.from(tiles.values()).filter((t) => t.li).sort(byAttention);
    const now = list.children;
    if (sorted.length === now.length && sorted.every((t, i) => t.li === now[i])) return;
    const focused = document.activeElement;
    list.replaceChildren(...sorted.map((t) => t.li));
    if (focused && list.contains(focused)) focused.focus();
  }

  // A generator new to the page comes whole; one it has, as the members that
  // changed. Returns the tiles whose read-outs this set.
  function take(generators, announce) {
    const said = [];
    const read = [];
    for (const g of generators) {
      let t = tiles.get(g.n);
      if (!t) {
        t = makeTile(g.n, g);
        tiles.set(g.n, t);
        if (announce) {
          build(t);
          reorder = true;
        }
        read.push(t);
      } else {
        if (announce && "state" in g && t.data.state !== g.state) said.push(t);
        if ("rank" in g || "name" in g) reorder = true;
        Object.assign(t.data, g);
      }
      renderTile(t);
    }
    if (said.length)
      $("announce").textContent = said.slice(0, 5).map((t) => t.data.name + ": " + t.data.word).join(". ");
    return read;
  }

  // What changed of the tiles this page shows, under the short names the
  // service gives these members on the wire.
  const LIVE = new Map([["r", "readouts"], ["t", "readingMs"], ["o", "notes"], ["e", "events"],
    ["v", "version"], ["b", "beamTime"], ["h", "lastHeard"], ["m", "missed"]]);
  function takeLive(entries) {
    const read = [];
    for (const g of entries) {
      const t = tiles.get(g.n);
      if (!t) throw new Error("an update of a generator not known");
      for (const [wire, name] of LIVE)
        if (wire in g) t.data[name] = g[wire];
      renderReadouts(t);
      renderNotes(t);
      if ("r" in g) read.push(t);
    }
    return read;
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
    let read;
    try {
      if (m.type === "snapshot") {
        watcher.disconnect();
        shown.clear();
        tiles.clear();
        shownSaid = "";
        read = take(m.generators || [], false);
        showSnapshot();
      } else if (m.type === "delta" && seq !== null && m.seq === seq + 1) {
        read = take(m.generators || [], true).concat(takeLive(m.live || []));
      } else {
        // A delta that does not follow what is shown: start again from a snapshot.
        return resync();
      }
    } catch (e) {
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
    if (reorder) order();
    sayShown();
    // Read-only, for the benchmark's latency: what was last applied, and when.
    window.ondrelLastApplied = {
      seq: m.seq, at: Date.now(), read: read.map((t) => [t.data.id, t.data.readouts]),
    };
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
    for (const n of shown) renderReadouts(tiles.get(n));
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
