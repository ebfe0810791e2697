import { el, clear, getJSON, milliseconds, shortName } from "./dom.js";

const LIMIT = 500;
const COLUMNS = [["name", "function"], ["path", "file"], ["calls", "calls"], ["total", "total"], ["self", "self"], ["wall", "wall"], ["mean", "per call"]];
const SORTABLE = new Set(["name", "calls", "total", "self", "wall"]);

// Every function of the trace with its calls, its time with the calls it makes (a recursion
// counted once), its own time and its wall time (a resumed call's awaits in); sorted and filtered by the server, so that a trace of any size
// answers at once. Click a function to open its first call in the tree.
export function functionsPanel(api, timed, showCall) {
  const filter = el("input", { type: "search", class: "function-filter", placeholder: "filter by function or file" });
  const total = el("span", { class: "count" });
  const head = el("tr");
  const body = el("tbody");
  const panel = el("section", { class: "functions-panel", hidden: true },
    el("div", { class: "toolbar" }, filter, total),
    el("table", { class: "function-table" }, el("thead", {}, head), body));
  let sort = "total";
  let loaded = false;

  const load = async () => {
    const url = `${api}/functions?sort=${sort}&limit=${LIMIT}&q=${encodeURIComponent(filter.value.trim())}`;
    const found = await getJSON(timed(url));
    loaded = true;
    total.textContent = found.total > found.functions.length
      ? `the first ${found.functions.length} of ${found.total.toLocaleString("en")} functions`
      : `${found.total.toLocaleString("en")} function${found.total === 1 ? "" : "s"}`;
    clear(head).append(...COLUMNS.map(([key, label]) => el("th", { class: `${key} ${key === sort ? "sorted" : ""}` },
      SORTABLE.has(key)
        ? el("button", { type: "button", class: "sort", onclick: () => { sort = key; shown(load()); } }, label, key === sort ? (key === "name" ? " ▲" : " ▼") : "")
        : label)));
    clear(body).append(...found.functions.map((f) => el("tr", { class: "function", onclick: () => f.first && showCall(f.first) },
      el("td", { class: "name" }, shortName(f.name)),
      el("td", { class: "path" }, f.path),
      el("td", { class: "number calls" }, f.calls.toLocaleString("en")),
      el("td", { class: "number total" }, milliseconds(f.total)),
      el("td", { class: "number self" }, milliseconds(f.self)),
      el("td", { class: "number wall" }, milliseconds(f.wall)),
      el("td", { class: "number" }, f.calls ? milliseconds(f.total / f.calls) : ""))));
  };
  const shown = (loading) => loading.catch((error) => { total.textContent = `Error: ${error.message}`; });
  let typing = null;
  filter.addEventListener("input", () => { clearTimeout(typing); typing = setTimeout(() => shown(load()), 150); });
  return { panel, show: () => (loaded ? null : shown(load())) };
}
