// The fleet page: asks the system observer for one page of machines (those that need a look come
// first unless a column is sorted), draws each with its figures and sparklines, and asks again
// every cycle. Only rows change; the page itself is never reloaded. The view (filters, order, page
// and open machine) lives in the address, so that a link, a reload and Back show it again.
"use strict";

const kSeries = [
  { key: "cpu", label: "CPU", color: "--cpu" },
  { key: "freePhysical", label: "Free physical memory", color: "--physical" },
  { key: "freeCommit", label: "Free commit", color: "--commit" },
  { key: "memoryPressure", label: "Memory pressure", color: "--pressure" },
];
const kPageSize = 100;
const kFastestRefreshMs = 500;
// The order a column's first click sorts in: what an operator looks for first.
const kSorts = { name: "asc", cpu: "desc", physical: "asc", commit: "asc", pressure: "desc", oom: "desc", age: "desc" };
const kDefaultView = { only: "", name: "", sort: "", order: "", offset: 0, limit: kPageSize, machine: "" };
const view = { ...kDefaultView };
const rows = new Map();  // machine name -> { row, sparks }
let latest = null;
let asked = 0;
let timer = 0;
let opened = null;  // the machine of the open dialog

const $ = (selector, root = document) => root.querySelector(selector);
const cssColor = (name) => getComputedStyle(document.documentElement).getPropertyValue(name).trim();

function text(element, value) {
  if (element.textContent !== value) element.textContent = value;
}

function kilobytes(kb) {
  const units = ["KB", "MB", "GB", "TB"];
  let value = kb, unit = 0;
  while (value >= 1024 && unit < units.length - 1) { value /= 1024; ++unit; }
  return `${value.toFixed(value < 10 && unit > 0 ? 1 : 0)} ${units[unit]}`;
}

function age(seconds) {
  if (seconds < 60) return `${Math.round(seconds)} s ago`;
  if (seconds < 3600) return `${Math.round(seconds / 60)} min ago`;
  return `${(seconds / 3600).toFixed(1)} h ago`;
}

function percent(value) {
  return value === undefined ? "–" : `${value.toFixed(value < 10 ? 1 : 0)} %`;
}

function freeShare(avail, used) {
  return avail + used > 0 ? ` (${Math.round((100 * avail) / (avail + used))} %)` : "";
}

// The trend's values come as two hex digits each.
function bytes(hex) {
  const values = new Array(hex.length / 2);
  for (let i = 0; i < values.length; ++i) values[i] = parseInt(hex.substr(2 * i, 2), 16);
  return values;
}

// The trend as uPlot's columns: seconds before now, and each series in percent, broken where
// cycles passed without a sample.
function columns(trend, cycleSec) {
  const ages = bytes(trend.cyclesAgo);
  const series = kSeries.map((s) => bytes(trend[s.key]));
  const data = [[], ...kSeries.map(() => [])];
  ages.forEach((ago, i) => {
    if (i > 0 && ages[i - 1] - ago > 1) {
      data[0].push(-(ago + 1) * cycleSec);
      series.forEach((_, s) => data[s + 1].push(null));
    }
    data[0].push(-ago * cycleSec);
    series.forEach((values, s) => data[s + 1].push(values[i] === trend.none ? null : values[i] / 2));
  });
  return data;
}

function chart(series, width, height, withAxes, parent) {
  const color = cssColor(series.color);
  const axis = { stroke: cssColor("--muted"), grid: { stroke: cssColor("--line"), width: 1 }, ticks: { show: false }, size: 46 };
  return new uPlot({
    width, height, pxAlign: false,
    cursor: { show: withAxes, drag: { x: false, y: false } }, select: { show: false }, legend: { show: false },
    scales: { x: { time: false, range: () => (latest ? [-(latest.cycles - 1) * latest.cycleSec, 0] : [-1, 0]) }, y: { range: [0, 100] } },
    axes: withAxes ? [{ ...axis, values: (u, ticks) => ticks.map((t) => `${Math.round(-t)} s`) }, { ...axis, values: (u, ticks) => ticks.map((t) => `${t} %`) }]
                   : [{ show: false }, { show: false }],
    series: [{}, { stroke: color, fill: `${color}33`, width: 1.25, points: { show: false } }],
  }, [[], []], parent);
}

function newRow(machine) {
  const row = document.createElement("tr");
  row.innerHTML = `<td><div class="who"><span class="name"></span><span class="reasons"></span></div></td>` +
    kSeries.map(() => `<td><div class="figure"><span></span><div class="spark"></div></div></td>`).join("") +
    `<td></td><td class="alert"></td><td class="oom"></td><td></td>`;
  row.dataset.machine = machine;
  row.tabIndex = 0;
  row.addEventListener("click", () => changeView({ machine }));
  row.addEventListener("keydown", (event) => {
    if (event.key !== "Enter") return;
    event.preventDefault();  // else the key goes on to the view's close button and closes it again
    changeView({ machine });
  });
  const sparks = kSeries.map((series, s) => chart(series, 56, 22, false, row.cells[s + 1].querySelector(".spark")));
  return { row, sparks };
}

function figuresOf(status) {
  const memory = status.pressure && status.pressure.memory_some;
  return [
    percent(status.cpu_load_percent),
    kilobytes(status.avail_physical_kb) + freeShare(status.avail_physical_kb, status.used_physical_kb),
    kilobytes(status.avail_page_file_kb) + freeShare(status.avail_page_file_kb, status.used_page_file_kb),
    percent(memory && memory.avg10_percent),
  ];
}

function lastAlert(status) {
  return status.alert_state ? `${status.alert_text} · ${age(status.alert_age_sec)}` : "–";
}

function oomKills(status) {
  const kills = status.oom_kills;
  if (!kills || !kills.kill_count) return "0";
  return kills.last_victim ? `${kills.kill_count} · last ${kills.last_victim} (${kills.last_victim_pid})` : `${kills.kill_count}`;
}

function update(entry, machine) {
  const { row, sparks } = entry;
  const status = machine.status;
  row.classList.toggle("look", machine.reasons.length > 0);
  text($(".name", row), status.machine);
  $(".name", row).title = status.machine;  // in full where the cell cuts it
  const reasons = machine.reasons.map((r) => `<span class="reason ${r}">${r}</span>`).join("");
  if ($(".reasons", row).innerHTML !== reasons) $(".reasons", row).innerHTML = reasons;
  const figures = figuresOf(status);
  const data = columns(machine.trend, latest.cycleSec);
  kSeries.forEach((_, s) => {
    text($(".figure span", row.cells[s + 1]), figures[s]);
    sparks[s].setData([data[0], data[s + 1]]);
  });
  const others = [`${status.process_count} · ${status.thread_count} · ${status.handle_count}`, lastAlert(status), oomKills(status),
                  age(status.newest_sample_age_sec)];
  others.forEach((value, i) => text(row.cells[kSeries.length + 1 + i], value));
  row.cells[kSeries.length + 2].title = status.alert_text || "";
  row.cells[kSeries.length + 3].title = others[2];
}

function render(fleet) {
  const first = latest === null;
  latest = fleet;
  const body = $("#fleet tbody");
  const shown = new Set();
  let at = body.firstElementChild;
  for (const machine of fleet.machines) {
    const name = machine.status.machine;
    shown.add(name);
    let entry = rows.get(name);
    if (!entry) rows.set(name, (entry = newRow(name)));
    update(entry, machine);
    // In the order of the answer, moving only rows out of place: a moved row loses the focus.
    if (entry.row === at) at = at.nextElementSibling;
    else body.insertBefore(entry.row, at);
  }
  for (const [name, entry] of rows)
    if (!shown.has(name)) {
      entry.sparks.forEach((spark) => spark.destroy());
      entry.row.remove();
      rows.delete(name);
    }
  const matching = view.only || view.name ? " matching" : "";
  const machines = fleet.total === 1 ? "1 machine" : `${fleet.total} machines`;
  text($("#summary"), `${machines}${matching}, ${fleet.needLook} need${fleet.needLook === 1 ? "s" : ""} a look · updated ${new Date().toLocaleTimeString()}`);
  $("#empty").hidden = fleet.total > 0;
  $("#pager").hidden = fleet.total <= view.limit && fleet.offset === 0;
  text($("#range"), `${fleet.offset + 1}–${fleet.offset + fleet.machines.length} of ${fleet.total}`);
  $("#previous").disabled = fleet.offset === 0;
  $("#next").disabled = fleet.offset + view.limit >= fleet.total;
  if (first) performance.mark("first-render");  // what the bench times
}

async function fetchFleet(parameters) {
  const answer = await fetch(`fleet?${new URLSearchParams(parameters)}`, { cache: "no-store" });
  if (!answer.ok) throw new Error(`${answer.status} ${await answer.text()}`);
  return answer.json();
}

async function refresh() {
  clearTimeout(timer);
  const mine = ++asked;
  try {
    const parameters = { offset: view.offset, limit: view.limit };
    for (const key of ["only", "name", "sort", "order"]) if (view[key]) parameters[key] = view[key];
    const fleet = await fetchFleet(parameters);
    if (mine !== asked) return;  // the view changed while this was asked
    render(fleet);
    if (opened) await showMachine();
  } catch (failure) {
    text($("#summary"), `The system observer doesn't answer: ${failure.message}`);
  }
  if (mine === asked) timer = setTimeout(refresh, Math.max(kFastestRefreshMs, (latest ? latest.cycleSec : 5) * 1000));
}

function openMachine(machine) {
  const dialog = $("#machine");
  opened?.charts.forEach((c) => c.destroy());
  opened = { machine, charts: [] };
  text($("h2", dialog), machine);
  const charts = $(".charts", dialog);
  charts.replaceChildren();
  for (const series of kSeries) {
    const holder = document.createElement("div");
    holder.innerHTML = `<h3>${series.label}</h3>`;
    charts.appendChild(holder);
    opened.charts.push(chart(series, 340, 120, true, holder));
  }
  text($(".figures", dialog), "");
  $(".events", dialog).replaceChildren();
  if (!dialog.open) dialog.showModal();
}

async function showMachine() {
  const shown = opened;
  const fleet = await fetchFleet({ name: shown.machine, limit: kPageSize });
  const machine = fleet.machines.find((m) => m.status.machine === shown.machine);
  if (shown !== opened) return;
  const dialog = $("#machine");
  if (!machine) {
    text($(".figures", dialog), "The system observer no longer keeps this machine.");
    return;
  }
  const status = machine.status;
  const figures = figuresOf(status);
  text($(".figures", dialog), `${kSeries.map((series, s) => `${series.label} ${figures[s]}`).join(" · ")} · newest sample ${age(status.newest_sample_age_sec)}` +
                              (machine.reasons.length ? ` · needs a look: ${machine.reasons.join(", ")}` : ""));
  const data = columns(machine.trend, fleet.cycleSec);
  shown.charts.forEach((c, s) => c.setData([data[0], data[s + 1]]));
  const events = $(".events", dialog);
  events.replaceChildren(...machine.events.slice().reverse().map((event) => {
    const item = document.createElement("li");
    item.textContent = `${age(event.ageSec)}: ${event.text}`;
    return item;
  }));
  const minutes = Math.round((fleet.cycles * fleet.cycleSec) / 60);
  if (machine.events.length === 0) events.innerHTML = `<li class="muted">None in the last ${minutes} minute${minutes === 1 ? "" : "s"}.</li>`;
}

// The view that an address asks for; what it gets wrong stays as in the default view.
function viewOf(search) {
  const asked = new URLSearchParams(search);
  const count = (name, max) => (/^\d{1,10}$/.test(asked.get(name)) && Number(asked.get(name)) <= max ? Number(asked.get(name)) : undefined);
  const sort = Object.hasOwn(kSorts, asked.get("sort")) ? asked.get("sort") : "";
  return {
    only: ["alert", "silent"].includes(asked.get("only")) ? asked.get("only") : "",
    name: (asked.get("name") || "").trim(),
    sort,
    order: sort && (["asc", "desc"].includes(asked.get("order")) ? asked.get("order") : kSorts[sort]),
    offset: count("offset", 2 ** 32 - 1) ?? 0,
    limit: count("limit", kPageSize) || kPageSize,
    machine: asked.get("machine") || "",
  };
}

function addressOf(shown) {
  const parameters = new URLSearchParams();
  for (const [key, value] of Object.entries(shown)) if (value !== kDefaultView[key]) parameters.set(key, value);
  const query = String(parameters);
  return query ? `${location.pathname}?${query}` : location.pathname;
}

// The controls, the machine's view and the rows as `view` says.
function showView() {
  for (const radio of document.querySelectorAll("input[name=only]")) radio.checked = radio.value === view.only;
  if ($("#name").value.trim() !== view.name) $("#name").value = view.name;
  for (const header of document.querySelectorAll("th[data-sort]")) {
    if (header.dataset.sort === view.sort) header.setAttribute("aria-sort", view.order === "asc" ? "ascending" : "descending");
    else header.removeAttribute("aria-sort");
  }
  if (view.machine && opened?.machine !== view.machine) openMachine(view.machine);
  if (!view.machine && $("#machine").open) $("#machine").close();
  refresh();
}

function changeView(change) {
  Object.assign(view, change);
  history.pushState(null, "", addressOf(view));
  showView();
}

let typing = 0;
$("#filters").addEventListener("change", (event) => {
  if (event.target.name === "only") changeView({ only: event.target.value, offset: 0 });
});
$("#filters").addEventListener("submit", (event) => event.preventDefault());
$("#name").addEventListener("input", (event) => {
  clearTimeout(typing);
  typing = setTimeout(() => changeView({ name: event.target.value.trim(), offset: 0 }), 250);
});
$("#fleet thead").addEventListener("click", (event) => {
  const sort = event.target.closest("th[data-sort]")?.dataset.sort;
  if (!sort) return;
  const order = view.sort !== sort ? kSorts[sort] : view.order === "asc" ? "desc" : "asc";
  changeView({ sort, order, offset: 0 });
});
$("#previous").addEventListener("click", () => changeView({ offset: Math.max(0, view.offset - view.limit) }));
$("#next").addEventListener("click", () => changeView({ offset: view.offset + view.limit }));
// Escape or the close button: the view without the machine, and the focus back on its row.
$("#machine").addEventListener("close", () => {
  if (!opened) return;
  const machine = opened.machine;
  opened.charts.forEach((c) => c.destroy());
  opened = null;
  if (view.machine) changeView({ machine: "" });
  rows.get(machine)?.row.focus();
});
document.addEventListener("keydown", (event) => {
  if (event.key !== "/" || $("#machine").open || event.target === $("#name")) return;
  event.preventDefault();
  $("#name").focus();
});
window.addEventListener("popstate", () => {
  Object.assign(view, viewOf(location.search));
  showView();
});
// Colours follow the browser's setting: charts are drawn anew in the other scheme.
matchMedia("(prefers-color-scheme: dark)").addEventListener("change", () => {
  for (const entry of rows.values()) { entry.sparks.forEach((spark) => spark.destroy()); entry.row.remove(); }
  rows.clear();
  if (latest) render(latest);
});
Object.assign(view, viewOf(location.search));
history.replaceState(null, "", addressOf(view));  // without what it got wrong
showView();
