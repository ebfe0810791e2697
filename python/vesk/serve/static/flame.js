import { el, clear, getJSON, milliseconds, count, colour, shortName } from "./dom.js";

const ROW = 18;

// The call paths of a thread, an asyncio task or one call's subtree as an icicle: the outermost
// calls on top, each path as wide as its time (with the calls it makes), its calls below in the
// order they were first made. Click a path to zoom in on it (a path above it zooms back out); its
// line below the graph opens its first call in the tree. Built of elements, not drawn, so that
// every name is text a reader can select and find.
export function flamePanel(api, timed, threads, tasks, showCall) {
  const select = el("select", { class: "flame-choice" },
    threads.map((t) => el("option", { value: `thread=${t.thread}` }, `thread ${t.label}`)),
    (tasks || []).map((t) => el("option", { value: `task=${t.task}` }, `task ${t.name}`)));
  const reset = el("button", { type: "button" }, "Zoom out");
  const info = el("span", { class: "muted" });
  const graph = el("div", { class: "flame" });
  const chosen = el("p", { class: "flame-chosen" });
  const panel = el("section", { class: "flame-panel", hidden: true },
    el("div", { class: "toolbar" }, select, reset, info), graph, chosen,
    el("p", { class: "muted" }, "Click a call path to zoom in on it; click one above it to zoom out."));
  let root = null;
  let focus = null;

  const load = async () => {
    const found = await getJSON(timed(`${api}/flame?${select.value}`));
    root = tree(found.cells, select.selectedOptions[0].textContent);
    info.textContent = `${milliseconds(root.value)} in ${count(found.cells.length, "call path")}${found.more ? " (the costliest)" : ""}`;
    zoom(root);
  };

  function zoom(node) {
    focus = node;
    const width = graph.clientWidth || 1000;
    const cells = [];
    const above = [];
    for (let up = node.up; up; up = up.up) above.unshift(up);
    above.forEach((ancestor, level) => cells.push(cell(ancestor, 0, 1, level, "ancestor")));
    const place = (n, left, share, level) => {
      cells.push(cell(n, left, share, level, n === node ? "focus" : ""));
      let x = left;
      for (const child of n.children) {
        const part = share * (child.value / (n.value || 1));
        if (part * width >= 1) place(child, x, part, level + 1);
        x += part;
      }
    };
    place(node, 0, 1, above.length);
    const levels = Math.max(...cells.map((c) => c.level)) + 1;
    graph.style.height = `${levels * ROW}px`;
    clear(graph).append(...cells.map((c) => c.element));
    describe(node);
  }

  function cell(node, left, share, level, kind) {
    const element = el("div", { class: `flame-cell ${kind}`, title: `${node.name}\n${facts(node)}`, dataset: { first: node.first || "" } },
      shortName(node.name));
    Object.assign(element.style, { left: `${left * 100}%`, width: `${share * 100}%`, top: `${level * ROW}px`,
      background: node.up ? colour(node.name) : "" });
    element.addEventListener("click", () => zoom(node === focus && node.up ? node.up : node));
    return { element, level };
  }

  function describe(node) {
    clear(chosen);
    if (!node.up) return;
    chosen.append(el("strong", {}, shortName(node.name)), ` ${facts(node)} `,
      el("button", { type: "button", class: "open-call", onclick: () => showCall(node.first) }, "Open its first call in the tree"));
  }

  const shown = (loading) => loading.catch((error) => { info.textContent = `Error: ${error.message}`; });
  select.addEventListener("change", () => shown(load()));
  reset.addEventListener("click", () => root && zoom(root));
  return {
    panel,
    show: () => (root ? zoom(focus) : shown(load())),
    // The flame graph of one call's subtree, chosen in the tree.
    showCall: (node, label) => {
      let option = select.querySelector("option.call");
      if (!option) { option = el("option", { class: "call" }); select.prepend(option); }
      option.value = `node=${node}`;
      option.textContent = `call ${label}`;
      select.value = option.value;
      return shown(load());
    },
  };
}

function facts(node) {
  const calls = node.calls ? `${count(node.calls, "call")}, ` : "";
  return `${calls}${milliseconds(node.value)} in all, ${milliseconds(node.self)} in itself`;
}

// The call paths as a tree under one root, each as wide as the greater of its own time and its
// calls' (a call still open when the trace ended has no time of its own).
function tree(cells, label) {
  const nodes = new Map();
  const top = { name: label, children: [], self: 0, calls: 0, up: null };
  for (const [stack, , name, calls, total, self, first] of cells) {
    nodes.set(stack, { name, calls, total: total || 0, self: self || 0, first, children: [], up: null });
  }
  for (const [stack, parent] of cells) {
    const node = nodes.get(stack);
    node.up = nodes.get(parent) || top;
    node.up.children.push(node);
  }
  const measure = (node) => {
    node.children.sort((a, b) => a.first - b.first);
    let below = 0;
    for (const child of node.children) below += measure(child);
    node.value = Math.max(node.total || 0, below);
    return node.value;
  };
  measure(top);
  top.self = 0;
  return top;
}
