// The history page: beam time per generator per day as a chart, and the
// exposures of the same days as a table read from the very CSV it offers for
// download. Every text from the service goes in through textContent.
"use strict";

(function () {
  const $ = (id) => document.getElementById(id);
  const COLOURS = ["#d85c00", "#1565c0", "#2e7d32", "#6a1b9a", "#c62828", "#00838f",
    "#8d6e63", "#ad1457", "#558b2f", "#283593"];
  let chart = null;

  // Spaces as %20: the service reads a query as URLs write it, not as forms do.
  function query(fields) {
    return Object.entries(fields).filter(([, v]) => v !== "")
      .map(([k, v]) => k + "=" + encodeURIComponent(v)).join("&");
  }

  function isoDay(d) {
    const pad = (n) => String(n).padStart(2, "0");
    return d.getFullYear() + "-" + pad(d.getMonth() + 1) + "-" + pad(d.getDate());
  }

  // RFC 4180, as the service writes it: quoted fields may hold commas, quotes
  // and line breaks.
  function parseCsv(text) {
    const rows = [];
    let row = [], field = "", quoted = false;
    for (let i = 0; i < text.length; ++i) {
      const c = text[i];
      if (quoted) {
        if (c === '"' && text[i + 1] === '"') { field += '"'; ++i; }
        else if (c === '"') quoted = false;
        else field += c;
      } else if (c === '"') quoted = true;
      else if (c === ",") { row.push(field); field = ""; }
      else if (c === "\n") { row.push(field); rows.push(row); row = []; field = ""; }
      else if (c !== "\r") field += c;
    }
    if (field !== "" || row.length) { row.push(field); rows.push(row); }
    return rows;
  }

  async function fetchText(url) {
    const r = await fetch(url, { cache: "no-store" });
    const text = await r.text();
    if (!r.ok) throw new Error(text.trim() || r.status + " " + r.statusText);
    return text;
  }

  function cell(tr, text, className) {
    const td = document.createElement("td");
    td.textContent = text;
    if (className) td.className = className;
    tr.append(td);
    return td;
  }

  function fillTable(rows, range) {
    const head = rows.shift() || [];
    const col = (name) => head.indexOf(name);
    const body = $("exposures").tBodies[0];
    body.replaceChildren(...rows.map((r) => {
      const tr = document.createElement("tr");
      const name = document.createElement("a");
      name.textContent = r[col("generator")];
      name.href = "trend.html?" + new URLSearchParams({ generator: r[col("generator")],
        end: r[col("latest_end")] || r[col("earliest_end")] || r[col("start")] });
      tr.append(document.createElement("td"));
      tr.lastChild.append(name);
      cell(tr, r[col("start")]);
      const end = r[col("end")];
      if (end === "uncertain") {
        const latest = r[col("latest_end")];
        cell(tr, "uncertain: between " + r[col("earliest_end")] + " and " +
          (latest || "not known yet"), "uncertain");
      } else {
        cell(tr, end);
      }
      const shortest = r[col("duration_s")], longest = r[col("longest_duration_s")];
      cell(tr, end === "uncertain" ? shortest + " to " + (longest || "?") : shortest);
      cell(tr, r[col("set_kv")]);
      cell(tr, r[col("set_ua")]);
      cell(tr, r[col("user")]);
      cell(tr, r[col("end_reason")]);
      return tr;
    }));
    return rows.length + " exposures from " + range.from + " to " + range.to;
  }

  function drawBeam(rows, range) {
    const days = [];
    for (let d = new Date(range.from + "T12:00:00"); isoDay(d) <= range.to; d.setDate(d.getDate() + 1))
      days.push(isoDay(d));
    const byGenerator = new Map();
    for (const r of rows) {
      if (r.period === "total") continue;
      if (!byGenerator.has(r.generator)) byGenerator.set(r.generator, new Map());
      byGenerator.get(r.generator).set(r.period, r.beam_s);
    }
    $("beam-empty").hidden = byGenerator.size > 0;
    if (typeof Chart === "undefined") {
      $("beam-empty").hidden = false;
      $("beam-empty").textContent =
        "The chart needs Chart.js (Debian's libjs-chart.js) on the lab service's computer.";
      return;
    }
    const datasets = Array.from(byGenerator, ([generator, perDay], i) => ({
      label: generator,
      data: days.map((d) => perDay.get(d) || 0),
      backgroundColor: COLOURS[i % COLOURS.length],
    }));
    if (chart) chart.destroy();
    chart = new Chart($("beam"), {
      type: "bar",
      data: { labels: days, datasets },
      options: {
        maintainAspectRatio: false,
        animation: false,
        scales: { x: { stacked: true }, y: { stacked: true, title: { display: true, text: "beam (s)" } } },
      },
    });
  }

  async function show(range) {
    const q = query(range);
    $("download").href = "exposures.csv?" + q;
    history.replaceState(null, "", "?" + q);
    $("status").textContent = "Asking the archive\u2026";
    try {
      const [beam, csv] = await Promise.all([
        fetchText("beam-time.json?by=day&" + q), fetchText("exposures.csv?" + q)]);
      drawBeam(JSON.parse(beam), range);
      $("status").textContent = fillTable(parseCsv(csv), range);
    } catch (e) {
      $("status").textContent = e.message;
    }
  }

  function range() {
    return { from: $("from").value, to: $("to").value, tz: $("tz").value.trim() };
  }

  const asked = new URLSearchParams(location.search);
  const today = new Date();
  const weekAgo = new Date();
  weekAgo.setDate(today.getDate() - 6);
  $("from").value = asked.get("from") || isoDay(weekAgo);
  $("to").value = asked.get("to") || isoDay(today);
  $("tz").value = asked.get("tz") || "";
  $("range").addEventListener("submit", (e) => {
    e.preventDefault();
    show(range());
  });
  show(range());
})();
