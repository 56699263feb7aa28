// lumoreq view: the overview grid and the zoomable series panels (plotly.js, served locally).
"use strict";

const LV = {};
// What the page did last, for the browser tests and the benchmark (read-only for them).
window.lvState = { updates: 0, timings: [], panels: [], range: null, width: 0, error: null, saved: [] };

LV.start = function (page) {
  window.addEventListener("DOMContentLoaded", () => {
    page().catch((e) => LV.fail(e));
  });
};

LV.fail = function (e) {
  const el = document.getElementById("message");
  el.textContent = "出错了: " + (e && e.message ? e.message : String(e));
  el.className = "message";
  el.hidden = false;
  window.lvState.error = el.textContent;
};

LV.note = function (text) {
  const el = document.getElementById("message");
  el.textContent = text;
  el.className = "message note";
  el.hidden = false;
};

async function api(path, params, signal) {
  const q = new URLSearchParams(params || {});
  const r = await fetch(path + "?" + q.toString(), { signal, credentials: "same-origin" });
  const text = await r.text();
  let data;
  try { data = JSON.parse(text); } catch (e) { throw new Error(text || r.statusText); }
  if (!r.ok) throw new Error(data.error || r.statusText);
  return data;
}

// The M4 answer in its binary form (see the server's _binary): t and v as Float64Array.
async function apiM4(params, signal) {
  const q = new URLSearchParams({ ...params, format: "binary" });
  const r = await fetch("/api/m4?" + q.toString(), { signal, credentials: "same-origin" });
  if (!r.ok) {
    const text = await r.text();
    let message = text || r.statusText;
    try { message = JSON.parse(text).error || message; } catch (e) { /* not JSON: the text itself */ }
    throw new Error(message);
  }
  const answer = JSON.parse(r.headers.get("X-Lumoreq-M4"));
  const buffer = await r.arrayBuffer();
  answer.t = new Float64Array(buffer, 0, answer.n);
  answer.v = new Float64Array(buffer, 8 * answer.n, answer.n);
  return answer;
}

function unitLabel(u) {
  if (u === "ms") return "10⁻³角秒";
  if (u === "10-10") return "应变/10⁻¹⁰";
  if (u === "10-9") return "应变/10⁻⁹";
  return u || "";
}

function seriesName(s) {
  return `${s.station_name || s.station} ${s.point} ${s.item_name || s.item}`;
}

function seriesUrl(s, t0, t1) {
  const q = new URLSearchParams({ station: s.station, point: s.point, item: s.item });
  if (t0 != null) { q.set("t0", String(t0)); q.set("t1", String(t1)); }
  return "/series?" + q.toString();
}

function fmtTime(ms) {
  const d = new Date(ms);
  const iso = d.toISOString();  // times are naive (local station time), shown as stored
  return iso.slice(0, 10) + " " + iso.slice(11, 23);
}

function describeDamage(info) {
  const names = Object.keys(info.damaged || {});
  const notes = [];
  if (info.updating) notes.push("数据集正在更新: 新的分段写好后会出现。");
  if (names.length) notes.push(`${names.length} 个数据分段无法读取, 已略去:\n` +
    names.slice(0, 10).map((n) => `  ${n}: ${info.damaged[n]}`).join("\n"));
  if (notes.length) LV.note(notes.join("\n"));
}

// ---------------------------------------------------------------------------------------------
// The overview: one row per series, one cell per day (week, month), coloured by samples present
// ---------------------------------------------------------------------------------------------

LV.overview = async function () {
  const info = await api("/api/info");
  document.getElementById("title").textContent = info.title;
  describeDamage(info);
  const group = document.getElementById("group");
  const cell = document.getElementById("cell");
  const gd = document.getElementById("overview");
  let rows = [], edges = [];

  async function draw() {
    const data = await api("/api/overview", { cell: cell.value });
    edges = data.edges;
    rows = data.rows.slice();
    const byStation = (a, b) => (a.station_name + a.station + a.point + a.item_name).localeCompare(
      b.station_name + b.station + b.point + b.item_name, "zh");
    const byItem = (a, b) => (a.item_name + a.item + a.station_name + a.point).localeCompare(
      b.item_name + b.item + b.station_name + b.point, "zh");
    rows.sort(group.value === "item" ? byItem : byStation);
    const starts = edges.slice(0, -1);
    const z = rows.map((r) => r.present);
    const text = rows.map((r) => r.present.map((p, j) => p == null ? "无数据" :
      `完整率 ${(100 * p).toFixed(1)}% · 样本 ${r.samples[j]} · 缺测 ${r.nan[j]}` +
      (r.replaced[j] > 0 ? ` · 剔除异常 ${(100 * r.replaced[j]).toFixed(2)}%` : "")));
    const labels = rows.map((r) => group.value === "item"
      ? `${r.item_name || r.item} · ${r.station_name || r.station} ${r.point}`
      : `${r.station_name || r.station} ${r.point} · ${r.item_name || r.item}`);
    const traces = [{
      type: "heatmap", x: starts, y: rows.map((_, i) => i), z, text, hoverinfo: "text",
      hovertemplate: "%{y}<br>%{x|%Y-%m-%d}<br>%{text}<extra></extra>", zmin: 0, zmax: 1, xgap: 0, ygap: 1,
      colorscale: [[0, "#d73027"], [0.5, "#fdae61"], [0.8, "#fee08b"], [0.95, "#a6d96a"], [1, "#1a9850"]],
      colorbar: { title: { text: "完整率" }, len: 0.5, y: 0.4, thickness: 12 }, name: "present",
    }];
    const ox = [], oy = [];
    rows.forEach((r, i) => r.replaced.forEach((f, j) => {
      if (f > 0) { ox.push((edges[j] + edges[j + 1]) / 2); oy.push(i); }
    }));
    if (ox.length) traces.push({ type: "scatter", mode: "markers", x: ox, y: oy, name: "replaced",
      marker: { symbol: "x-thin", size: 5, line: { width: 1, color: "#5e3c99" } }, hoverinfo: "skip" });
    if (data.quakes.length) traces.push({
      type: "scatter", mode: "markers", yaxis: "y2", name: "quakes",
      x: data.quakes.map((q) => q.t), y: data.quakes.map((q) => q.magnitude),
      text: data.quakes.map((q) => `${q.name || ""} M${q.magnitude}<br>${q.stations.join(", ")}`),
      hovertemplate: "%{x|%Y-%m-%d %H:%M}<br>%{text}<extra></extra>",
      marker: { size: data.quakes.map((q) => Math.max(5, ((q.magnitude || 3) - 2) * 4)), color: "#c0392b",
                symbol: "star" },
    });
    const height = Math.max(360, 140 + rows.length * 20);
    const quakeShare = data.quakes.length ? Math.min(0.25, 90 / height) : 0;
    const layout = {
      height, margin: { l: 230, r: 80, t: 10, b: 40 }, showlegend: false,
      xaxis: { type: "date", anchor: "y", range: [edges[0], edges[edges.length - 1]] },
      yaxis: { domain: [0, 1 - quakeShare - 0.02], autorange: "reversed", tickmode: "array",
               tickvals: rows.map((_, i) => i), ticktext: labels.map((l, i) =>
                 `<a href="${seriesUrl(rows[i])}">${l}</a>`), tickfont: { size: 11 }, fixedrange: true },
      yaxis2: { domain: [1 - quakeShare, 1], title: { text: "震级", font: { size: 11 } }, fixedrange: true },
      font: { family: "Noto Sans CJK SC, Noto Serif CJK SC, sans-serif" },
    };
    await Plotly.react(gd, traces, layout, { displaylogo: false, responsive: true });
    document.getElementById("status").textContent =
      `${rows.length} 条序列 · 每格一${{ day: "日", week: "周", month: "月" }[data.cell]} · 点击格子打开该台站当时的曲线`;
    window.lvState.updates += 1;
    window.lvState.overview = { rows: rows.length, cells: starts.length, cell: data.cell };
  }

  gd.addEventListener("click", () => {}, true);
  await draw();
  gd.on("plotly_click", (ev) => {
    const p = ev.points && ev.points[0];
    if (!p || p.data.name !== "present") return;
    const i = p.pointIndex ? p.pointIndex[0] : p.y;
    const j = p.pointIndex ? p.pointIndex[1] : 0;
    const row = rows[i];
    if (!row) return;
    window.location.href = seriesUrl(row, edges[j], edges[j + 1]);
  });
  group.addEventListener("change", () => draw().catch(LV.fail));
  cell.addEventListener("change", () => draw().catch(LV.fail));
};

// ---------------------------------------------------------------------------------------------
// The series view: a station's series in panels with one time axis, reduced by the server (M4)
// ---------------------------------------------------------------------------------------------

// Plotly already holds back a wheel gesture's relayout until the wheel rests (50 ms), and a drag
// ends in one relayout: this only merges what still comes in bursts, and adds little to a zoom.
const DEBOUNCE_MS = 25;
window.lvState.debounce = DEBOUNCE_MS;
const LINE = "#1f3b73";

// The range to ask for: when a summary level is at least four times finer than a pixel column,
// the range is nudged (its length by at most an eighth, its middle by less than a bucket) so
// that every column edge lies on that level's bucket grid; the server then answers from the
// summaries, exactly.
function snapRange(r0, r1, width, levels) {
  const column = (r1 - r0) / width;
  let bucket = 0;
  for (const b of levels) if (b <= column / 4 && b > bucket) bucket = b;
  if (!bucket) return [r0, r1];
  const snapped = Math.max(1, Math.round(column / bucket)) * bucket;
  const center = (r0 + r1) / 2;
  const t0 = Math.round((center - (snapped * width) / 2) / bucket) * bucket;
  return [t0, t0 + snapped * width];
}

LV.series = async function () {
  const params = new URLSearchParams(window.location.search);
  const station = params.get("station"), point = params.get("point");
  const info = await api("/api/info");
  describeDamage(info);
  const panels = info.series.filter((s) => s.station === station && s.point === point);
  if (!panels.length) throw new Error(`这个数据集里没有台站 ${station} 测点 ${point} 的序列`);
  panels.sort((a, b) => (a.item_name + a.item).localeCompare(b.item_name + b.item, "zh"));
  const isRain = (s) => /降雨量/.test(s.item_name || "");
  let rain = panels.find(isRain) || info.series.find((s) => s.station === station && isRain(s));
  const lines = panels.filter((s) => s !== rain);
  if (!lines.length && rain) { lines.push(rain); rain = null; }
  const first = Math.min(...panels.map((s) => s.first));
  const last = Math.max(...panels.map((s) => s.last));
  const levels = [...new Set(lines.flatMap((s) => s.levels_ms))];
  document.getElementById("title").textContent =
    `${lines[0].station_name || station} (${station}) 测点 ${point} · ${lines.length} 个测项`;
  document.title = `lumoreq view · ${lines[0].station_name || station} ${point}`;
  let quakes = [];
  if (info.catalogue) quakes = (await api("/api/quakes", { station })).events;
  let rainDays = null;
  if (rain) rainDays = await api("/api/daysums", { station: rain.station, point: rain.point, item: rain.item });

  const gd = document.getElementById("panels");
  const n = lines.length + (rain ? 1 : 0);
  const panelPx = 190, gapPx = 28;
  const height = 70 + n * panelPx;
  const plotH = height - 70;
  const layout = {
    height: height + 30, margin: { l: 90, r: 30, t: 50, b: 50 }, showlegend: false, dragmode: "zoom",
    hovermode: "closest", font: { family: "Noto Serif CJK SC, Noto Sans CJK SC, serif", size: 12 },
    xaxis: { type: "date", anchor: "y" + (n > 1 ? n : ""), showspikes: true, spikemode: "across", spikethickness: 1,
             tickformatstops: [
               { dtickrange: [null, 1000], value: "%H:%M:%S.%L" },
               { dtickrange: [1000, 60000], value: "%H:%M:%S\n%Y-%m-%d" },
               { dtickrange: [60000, 86400000], value: "%H:%M\n%Y-%m-%d" },
               { dtickrange: [86400000, null], value: "%Y-%m-%d" }] },
    annotations: [], shapes: [],
  };
  const traces = [];
  const axisName = (i) => "y" + (i ? i + 1 : "");
  for (let i = 0; i < n; i++) {
    const top = 1 - (i * panelPx) / plotH, bottom = 1 - ((i + 1) * panelPx - gapPx) / plotH;
    const s = i < lines.length ? lines[i] : rain;
    layout["yaxis" + (i ? i + 1 : "")] = {
      domain: [Math.max(0, bottom), Math.min(1, top)], fixedrange: true, autorange: true,
      title: { text: unitLabel(s.unit), font: { size: 12 } }, zeroline: false,
    };
    layout.annotations.push({ xref: "paper", yref: "paper", x: 0, y: Math.min(1, top), xanchor: "left",
      yanchor: "bottom", showarrow: false, text: `<b>${seriesName(s)}</b>`, font: { size: 13 } });
  }
  lines.forEach((s, i) => {
    traces.push({ type: "scatter", mode: "lines", x: [], y: [], yaxis: axisName(i), name: seriesName(s),
      line: { width: 1, color: LINE, simplify: false }, connectgaps: false,
      hovertemplate: "%{x|%Y-%m-%d %H:%M:%S.%L}<br>%{y:.7g} " + unitLabel(s.unit) + "<extra></extra>" });
  });
  const statsAt = traces.length;
  lines.forEach((s, i) => {
    for (const [dash, color] of [["solid", "#d35400"], ["dash", "#7f8c8d"], ["dash", "#7f8c8d"]])
      traces.push({ type: "scatter", mode: "lines", x: [], y: [], yaxis: axisName(i), hoverinfo: "skip",
        line: { width: 1, dash, color } });
  });
  if (rain) traces.push({ type: "bar", x: rainDays.t.map((t) => t + 43200000), y: rainDays.v,
    yaxis: axisName(n - 1), marker: { color: "#3a7bd5" }, name: "降雨量",
    hovertemplate: "%{x|%Y-%m-%d}<br>%{y:.1f} " + unitLabel(rain.unit) + "<extra>日降雨量</extra>" });

  let controller = null, timer = null, applied = null, eventAt = 0;
  const t0p = Number(params.get("t0")), t1p = Number(params.get("t1"));
  let wanted = Number.isFinite(t0p) && Number.isFinite(t1p) && t1p > t0p ? [t0p, t1p] : [first, last + 1];

  function plotWidth() { return Math.max(1, Math.round(gd._fullLayout._size.w)); }

  function quakeDecor(r0, r1) {
    const visible = quakes.filter((q) => q.t >= r0 && q.t <= r1);
    const shapes = visible.map((q) => ({ type: "line", xref: "x", yref: "paper", x0: q.t, x1: q.t, y0: 0, y1: 1,
      line: { color: "rgba(192,57,43,0.55)", width: 1, dash: "dot" } }));
    const labels = visible.length <= 25 ? visible.map((q) => ({ xref: "x", yref: "paper", x: q.t, y: 1,
      yanchor: "bottom", yshift: 14, showarrow: false, text: (q.text || `M${q.magnitude}`).replace("\n", " "),
      font: { size: 10, color: "#c0392b" } })) : [];
    return { shapes, labels };
  }

  async function update() {
    const width = plotWidth();
    const [r0, r1] = snapRange(wanted[0], wanted[1], width, levels);
    if (controller) controller.abort();  // a newer view replaces the one still on its way
    controller = new AbortController();
    const signal = controller.signal;
    const began = performance.now();
    let answers;
    try {
      answers = await Promise.all(lines.map((s) => apiM4({ station: s.station, point: s.point,
        item: s.item, t0: r0, t1: r1, width }, signal)));
    } catch (e) {
      if (e.name === "AbortError") return;
      throw e;
    }
    const fetched = performance.now();
    answers.forEach((a, i) => {
      traces[i].x = a.t;
      traces[i].y = a.v;
      const stat = traces.slice(statsAt + 3 * i, statsAt + 3 * i + 3);
      if (a.mean != null) {
        const sd = a.std || 0;
        [a.mean, a.mean + 2 * sd, a.mean - 2 * sd].forEach((y, k) => { stat[k].x = [r0, r1]; stat[k].y = [y, y]; });
      } else stat.forEach((t) => { t.x = []; t.y = []; });
    });
    const decor = quakeDecor(r0, r1);
    layout.shapes = decor.shapes;
    layout.annotations = layout.annotations.filter((a) => a.xref !== "x").concat(decor.labels);
    layout.xaxis.range = [r0, r1];
    layout.xaxis.autorange = false;
    for (let i = 0; i < n; i++) layout["yaxis" + (i ? i + 1 : "")].autorange = true;
    applied = [r0, r1];
    await Plotly.react(gd, traces, layout, { displaylogo: false, scrollZoom: true, doubleClick: false,
      modeBarButtonsToRemove: ["select2d", "lasso2d", "autoScale2d", "resetScale2d"] });
    await new Promise((resolve) => requestAnimationFrame(() => resolve()));
    const done = performance.now();
    const server = Math.max(...answers.map((a) => a.ms));
    const total = done - (eventAt || began);
    const state = window.lvState;
    state.timings.push({ server, fetch: fetched - began, draw: done - fetched, total });
    state.range = [r0, r1];
    state.width = width;
    state.panels = answers.map((a, i) => ({ key: [lines[i].item, lines[i].station, lines[i].point],
      t: Array.from(a.t), v: Array.from(a.v, (v) => (Number.isNaN(v) ? null : v)), source: a.source,
      count: a.count }));
    state.updates += 1;
    const points = Math.max(...answers.map((a) => a.v.reduce((n, v) => n + (Number.isNaN(v) ? 0 : 1), 0)));
    document.getElementById("status").textContent =
      `${fmtTime(r0)} – ${fmtTime(r1)} · ${width} 像素列 · 每面板至多 ${points} 点 · ` +
      `服务器 ${server.toFixed(1)} ms · 共 ${total.toFixed(0)} ms · ${answers[0].source}`;
    eventAt = 0;
  }

  function schedule() {
    eventAt = performance.now();
    clearTimeout(timer);
    timer = setTimeout(() => update().catch(LV.fail), DEBOUNCE_MS);
  }

  // first draw: an empty frame to learn the plot's width in pixels, then the data
  await Plotly.newPlot(gd, traces, layout, { displaylogo: false, scrollZoom: true, doubleClick: false });
  await update();
  gd.on("plotly_relayout", (ev) => {
    if (!("xaxis.range[0]" in ev) && !("xaxis.range" in ev) && !("xaxis.autorange" in ev)) return;
    const axis = gd._fullLayout.xaxis;
    const range = axis.range.map((v) => axis.r2l(v));
    if (applied && Math.abs(range[0] - applied[0]) < 1e-6 && Math.abs(range[1] - applied[1]) < 1e-6) return;
    wanted = ev["xaxis.autorange"] ? [first, last + 1] : range;
    schedule();
  });
  gd.on("plotly_doubleclick", () => { wanted = [first, last + 1]; schedule(); });
  gd.on("plotly_hover", (ev) => {
    const p = ev.points && ev.points[0];
    if (!p || p.y == null) return;
    const ms = typeof p.x === "number" ? p.x : Date.parse(String(p.x).replace(" ", "T") + "Z");
    document.getElementById("pointer").textContent = `${fmtTime(ms)}  ${p.y}`;
  });
  document.getElementById("full").addEventListener("click", () => { wanted = [first, last + 1]; schedule(); });
  for (const kind of ["figure", "ruzi"]) {
    const button = document.getElementById("save-" + kind);
    button.addEventListener("click", () => {
      if (!applied) return;
      button.disabled = true;
      saveRange(kind, station, point, applied).finally(() => { button.disabled = false; });
    });
  }
  window.addEventListener("resize", () => schedule());
};

// A download of the visible range (the station's figure, or its samples as a RUZI file), made by
// the server in memory; fetched first so that a refusal is shown as a message, not as a page.
async function saveRange(kind, station, point, range) {
  const status = document.getElementById("status");
  const shown = status.textContent;
  status.textContent = (kind === "figure" ? "正在绘图…" : "正在读取样本…") + " " + shown;
  const record = { kind };
  try {
    const q = new URLSearchParams({ station, point, t0: String(range[0]), t1: String(range[1]) });
    const r = await fetch(`/api/save/${kind}?` + q.toString(), { credentials: "same-origin" });
    if (!r.ok) {
      const text = await r.text();
      let message = text || r.statusText;
      try { message = JSON.parse(text).error || message; } catch (e) { /* not JSON: the text itself */ }
      throw new Error(message);
    }
    const blob = await r.blob();
    const header = r.headers.get("Content-Disposition") || "";
    const utf8 = /filename\*=UTF-8''([^;]+)/.exec(header);
    record.name = utf8 ? decodeURIComponent(utf8[1]) : (kind === "figure" ? "figure.png" : "series.ruzi");
    record.bytes = blob.size;
    const note = r.headers.get("X-Lumoreq-Note");
    record.note = note ? decodeURIComponent(note) : "";
    const link = document.createElement("a");
    link.href = URL.createObjectURL(blob);
    link.download = record.name;
    document.body.appendChild(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(link.href), 60000);
    status.textContent = `已保存 ${record.name} (${(blob.size / 1024).toFixed(0)} KB)` +
      (record.note ? ` · ${record.note}` : "") + " · " + shown;
  } catch (e) {
    record.error = e.message;
    status.textContent = shown;
    LV.note("保存失败: " + e.message);
  }
  window.lvState.saved.push(record);
}
