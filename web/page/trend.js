// The trend page: one generator's kV, µA and temperature over a range from an
// hour to a year, with its X-ray spans shaded. Where contact was lost with the
// X-rays possibly on, the span is solid up to the last word that they were on
// and hatched from there to the first evidence that they were off (or to the
// range's end while none has come): the end lies somewhere in the hatching.
"use strict";

(function () {
  const $ = (id) => document.getElementById(id);
  const XRAYS = "rgba(216, 92, 0, 0.28)";
  let chart = null;
  let exposures = [];
  let range = { from: 0, to: 0 };

  function query(fields) {
    return Object.entries(fields).map(([k, v]) => k + "=" + encodeURIComponent(v)).join("&");
  }

  function hatch(ctx) {
    const tile = document.createElement("canvas");
    tile.width = tile.height = 8;
    const t = tile.getContext("2d");
    t.strokeStyle = "rgba(216, 92, 0, 0.55)";
    t.lineWidth = 2;
    t.beginPath();
    t.moveTo(0, 8); t.lineTo(8, 0);
    t.moveTo(-2, 2); t.lineTo(2, -2);
    t.moveTo(6, 10); t.lineTo(10, 6);
    t.stroke();
    return ctx.createPattern(tile, "repeat");
  }

  // [from, to, certain] pieces of an exposure, within the range.
  function spans(e) {
    const end = (ms) => Math.min(ms === null ? range.to : ms, range.to);
    switch (e.endState) {
      case "closed": return [[e.start, end(e.latestEnd), true]];
      case "open": return [[e.start, end(null), true]];
      default: return [[e.start, end(e.earliestEnd), true], [e.earliestEnd, end(e.latestEnd), false]];
    }
  }

  const shading = {
    id: "xraySpans",
    beforeDatasetsDraw(c) {
      const { ctx, chartArea: area, scales: { x } } = c;
      const pattern = hatch(ctx);
      ctx.save();
      for (const e of exposures) {
        for (const [from, to, certain] of spans(e)) {
          const left = Math.max(area.left, x.getPixelForValue(Math.max(from, range.from)));
          const right = Math.min(area.right, x.getPixelForValue(to));
          if (right <= left) continue;
          ctx.fillStyle = certain ? XRAYS : pattern;
          ctx.fillRect(left, area.top, right - left, area.bottom - area.top);
        }
      }
      ctx.restore();
    },
  };

  function timeLabel(ms) {
    const d = new Date(ms);
    const long = range.to - range.from > 2 * 86400000;
    return long ? d.toLocaleDateString() : d.toLocaleTimeString([], { hour: "2-digit", minute: "2-digit" });
  }

  function line(label, key, axis, colour, points) {
    return {
      label, yAxisID: axis, borderColor: colour, backgroundColor: colour,
      pointRadius: 0, borderWidth: 1.5, spanGaps: false,
      data: points.map((p) => ({ x: p.t, y: p[key] ? p[key][1] : null })),
    };
  }

  function draw(answer) {
    exposures = answer.exposures;
    range = { from: answer.from, to: answer.to };
    if (typeof Chart === "undefined") {
      $("status").textContent +=
        " The chart needs Chart.js (Debian's libjs-chart.js) on the lab service's computer.";
      return;
    }
    if (chart) chart.destroy();
    chart = new Chart($("trend"), {
      type: "line",
      data: { datasets: [
        line("kV", "kv", "kv", "#1565c0", answer.points),
        line("\u00b5A", "ua", "ua", "#2e7d32", answer.points),
        line("temperature (\u00b0C)", "temperature", "t", "#6a1b9a", answer.points),
      ] },
      options: {
        maintainAspectRatio: false,
        animation: false,
        parsing: false,
        interaction: { mode: "nearest", axis: "x", intersect: false },
        scales: {
          x: { type: "linear", min: answer.from, max: answer.to, ticks: { callback: timeLabel } },
          kv: { position: "left", title: { display: true, text: "kV" } },
          ua: { position: "right", title: { display: true, text: "\u00b5A" }, grid: { drawOnChartArea: false } },
          t: { position: "right", title: { display: true, text: "\u00b0C" }, grid: { drawOnChartArea: false } },
        },
        plugins: { tooltip: { callbacks: { title: (items) => items.length ? new Date(items[0].parsed.x).toLocaleString() : "" } } },
      },
      plugins: [shading],
    });
  }

  async function show() {
    const generator = $("generator").value.trim();
    if (!generator) return;
    const end = $("end").value ? new Date($("end").value) : new Date();
    const from = new Date(end.getTime() - Number($("span").value) * 1000);
    history.replaceState(null, "", "?" + new URLSearchParams({
      generator, span: $("span").value, end: end.toISOString() }));
    $("status").textContent = "Asking the archive\u2026";
    try {
      const r = await fetch("trend.json?" + query({ generator, from: from.toISOString(),
        to: end.toISOString(), points: 1000 }), { cache: "no-store" });
      const text = await r.text();
      if (!r.ok) throw new Error(text.trim() || r.status + " " + r.statusText);
      const answer = JSON.parse(text);
      const n = answer.exposures.length;
      $("status").textContent = generator + ": " +
        (answer.points.length ? answer.points.length +
          (answer.points.length === 1 ? " point" : " points") + " from its " +
          (answer.source === "readings" ? "readings" : "per-minute roll-ups")
          : "no readings in this range") +
        "; " + n + (n === 1 ? " exposure" : " exposures") + ".";
      $("trend").setAttribute("aria-label", $("status").textContent);
      draw(answer);
    } catch (e) {
      $("status").textContent = e.message;
    }
  }

  function localInput(d) {
    const pad = (n) => String(n).padStart(2, "0");
    return d.getFullYear() + "-" + pad(d.getMonth() + 1) + "-" + pad(d.getDate()) + "T" +
      pad(d.getHours()) + ":" + pad(d.getMinutes());
  }

  const asked = new URLSearchParams(location.search);
  $("generator").value = asked.get("generator") || "";
  if (asked.get("span")) $("span").value = asked.get("span");
  const end = asked.get("end") ? new Date(asked.get("end")) : null;
  if (end && !isNaN(end)) $("end").value = localInput(new Date(end.getTime() + 60000));
  $("range").addEventListener("submit", (e) => {
    e.preventDefault();
    show();
  });
  show();
})();
