import { el, getJSON, milliseconds, colour } from "./dom.js";

const ROW = 16;

// Calls of one thread, or of one asyncio task, as bars, depth down and time across; drag across to
// zoom in, click a bar to find its call in the tree. Only calls at least a pixel long are fetched,
// so any trace draws fast. A task's calls are drawn from their shallowest depth, each across its
// awaits (pale) with the stretches it ran in over it.
export function timelinePanel(api, timed, threads, tasks, showCall) {
  const select = el("select", { class: "thread-choice" },
    threads.map((t) => el("option", { value: `thread=${t.thread}` }, t.label)),
    (tasks || []).map((t) => el("option", { value: `task=${t.task}` }, `task ${t.name}`)));
  const reset = el("button", { type: "button" }, "Zoom out");
  const info = el("span", { class: "muted" });
  const canvas = el("canvas", { class: "timeline", height: 200 });
  const panel = el("section", { class: "timeline-panel", hidden: true },
    el("div", { class: "toolbar" }, select, reset, info), canvas,
    el("p", { class: "muted" }, "Drag across to zoom in; click a call to find it in the tree."));
  let view = null; // {start, end, calls}
  let drag = null;

  const load = async (start, end) => {
    const width = canvas.clientWidth || 1000;
    const span = start === undefined ? "" : `&start=${start}&end=${end}`;
    view = await getJSON(timed(`${api}/timeline?${select.value}&width=${width}${span}`));
    view.top = view.calls.length ? Math.min(...view.calls.map((c) => c[1])) - 1 : 0;
    info.textContent = view.start === null ? "no calls" :
      `${milliseconds(view.end - view.start)} shown${view.more ? " (the longest calls)" : ""}`;
    draw();
  };
  const x = (t) => ((t - view.start) / (view.end - view.start)) * canvas.width;

  function draw() {
    canvas.width = canvas.clientWidth;
    const depth = Math.max(1, ...view.calls.map((c) => c[1] - view.top));
    canvas.height = Math.min(4000, (depth + 1) * ROW);
    const context = canvas.getContext("2d");
    context.clearRect(0, 0, canvas.width, canvas.height);
    context.font = "11px sans-serif";
    context.textBaseline = "middle";
    // Awaits first, so that the stretches a call ran in are drawn over its span.
    const calls = [...view.calls].sort((a, b) => b[5] - a[5]);
    for (const [, level, start, end, name, awaiting] of calls) {
      const left = Math.max(0, x(start));
      const width = Math.max(1, Math.min(canvas.width, x(end)) - left);
      const top = (level - view.top - 1) * ROW;
      context.globalAlpha = awaiting ? 0.35 : 1;
      context.fillStyle = colour(name);
      context.fillRect(left, top, width, ROW - 1);
      context.globalAlpha = 1;
      if (width > 30) {
        context.fillStyle = "#111";
        context.save();
        context.beginPath();
        context.rect(left, top, width, ROW);
        context.clip();
        context.fillText(name.replace(/^__main__\./, ""), left + 3, top + ROW / 2);
        context.restore();
      }
    }
    if (drag && drag.to !== undefined) {
      context.fillStyle = "rgba(47, 95, 179, 0.2)";
      context.fillRect(Math.min(drag.from, drag.to), 0, Math.abs(drag.to - drag.from), canvas.height);
    }
  }

  const at = (event) => {
    const box = canvas.getBoundingClientRect();
    return [event.clientX - box.left, event.clientY - box.top];
  };
  canvas.addEventListener("mousedown", (event) => { drag = { from: at(event)[0] }; });
  canvas.addEventListener("mousemove", (event) => { if (drag) { drag.to = at(event)[0]; draw(); } });
  canvas.addEventListener("mouseup", (event) => {
    const [px, py] = at(event);
    const from = drag ? drag.from : px;
    drag = null;
    if (Math.abs(px - from) > 4) {
      const time = (p) => view.start + (p / canvas.width) * (view.end - view.start);
      shown(load(time(Math.min(px, from)), time(Math.max(px, from))));
      return;
    }
    const level = Math.floor(py / ROW) + 1 + view.top;
    const hit = view.calls.find((c) => c[1] === level && x(c[2]) <= px + 1 && x(c[3]) >= px - 1);
    draw();
    if (hit) showCall(hit[0]);
  });
  const shown = (loading) => loading.catch((error) => { info.textContent = `Error: ${error.message}`; });
  select.addEventListener("change", () => shown(load()));
  reset.addEventListener("click", () => shown(load()));
  return { panel, show: () => (view ? draw() : shown(load())) };
}
