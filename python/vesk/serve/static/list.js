import { el, clear, getJSON, milliseconds, dateText, sourceText, traceUrl } from "./dom.js";

const PAGE = 200;
// Columns: [sort key, heading]; the server sorts and filters every trace, so the count is right
// and "Show more" goes on in the same order.
const COLUMNS = [[null, ""], ["trace", "trace"], ["saved", "saved"], ["source", "source"], ["what", "what"],
  ["outcome", "outcome"], ["duration", "duration"], ["frames", "frames"], ["plugin", "plugin records"]];

export async function showList(main, query) {
  document.title = "vesk: traces";
  const state = new URLSearchParams(location.search);
  const filter = el("input", { type: "search", name: "q", value: query, placeholder: "filter by id, label or command", class: "filter", autofocus: true });
  const outcome = el("select", { class: "outcome-filter", title: "outcome" },
    el("option", { value: "" }, "any outcome"), el("option", { value: "failed" }, "failed"), el("option", { value: "ok" }, "succeeded"));
  outcome.value = state.get("outcome") || "";
  const source = el("select", { class: "source-filter", title: "source" }, el("option", { value: "" }, "any source"));
  const compareButton = el("button", { type: "button", disabled: true, class: "compare" }, "Compare the two selected");
  const count = el("span", { class: "count" });
  const head = el("tr");
  const body = el("tbody");
  const table = el("table", { class: "traces" }, el("thead", {}, head), body);
  const more = el("button", { type: "button", class: "more", hidden: true }, "Show more");
  const form = el("form", { class: "toolbar", action: "/", method: "get", onsubmit: (e) => { e.preventDefault(); reload(); } },
    filter, outcome, source, compareButton, count);
  clear(main).append(el("h1", {}, "Traces"), form, table, more);
  let sort = state.get("sort") || "saved";
  let order = state.get("order") || "desc";

  const selected = [];
  compareButton.addEventListener("click", () => {
    location.href = `/compare/${encodeURIComponent(selected[0])}/${encodeURIComponent(selected[1])}`;
  });
  const select = (id, checked) => {
    if (checked) selected.push(id);
    else selected.splice(selected.indexOf(id), 1);
    compareButton.disabled = selected.length !== 2;
  };

  const heading = () => clear(head).append(...COLUMNS.map(([key, label]) => el("th", { class: key === sort ? "sorted" : "" },
    key ? el("button", { type: "button", class: "sort", dataset: { sort: key }, onclick: () => {
      order = key === sort && order === "desc" ? "asc" : "desc";
      sort = key;
      reload();
    } }, label, key === sort ? (order === "desc" ? " ▼" : " ▲") : "") : label)));

  let offset = 0;
  const parameters = () => {
    const wanted = new URLSearchParams();
    if (filter.value.trim()) wanted.set("q", filter.value.trim());
    if (outcome.value) wanted.set("outcome", outcome.value);
    if (source.value) wanted.set("source", source.value);
    if (sort !== "saved" || order !== "desc") { wanted.set("sort", sort); wanted.set("order", order); }
    return wanted;
  };
  const load = async () => {
    const wanted = parameters();
    const page = await getJSON(`/api/traces?${wanted}&offset=${offset}&limit=${PAGE}`);
    for (const trace of page.traces) body.append(traceRow(trace, select, selected));
    offset += page.traces.length;
    more.hidden = offset >= page.total;
    const filtered = page.total !== page.of;
    count.textContent = filtered ? `${page.total} of ${page.of} traces match` : `${page.total} traces`;
    if (offset < page.total) count.textContent += ` (${offset} shown)`;
    if (source.options.length === 1) source.append(...page.sources.map((s) => el("option", { value: s }, s)));
    source.value = state.get("source") || source.value;
    if (!page.total) body.append(el("tr", {}, el("td", { colspan: COLUMNS.length, class: "empty" }, filtered ? "No trace matches." : "No traces recorded yet.")));
  };
  const reload = () => {
    const wanted = parameters();
    history.replaceState(null, "", wanted.toString() ? `/?${wanted}` : "/");
    for (const name of ["source"]) state.delete(name);
    offset = 0;
    clear(body);
    heading();
    return load();
  };
  let typing = null;
  filter.addEventListener("input", () => { clearTimeout(typing); typing = setTimeout(reload, 200); });
  outcome.addEventListener("change", reload);
  source.addEventListener("change", reload);
  more.addEventListener("click", () => load());
  heading();
  await load();
}

function traceRow(trace, select, selected) {
  const failed = trace.failed ? "failed" : "";
  return el("tr", { class: `trace ${failed}`, dataset: { traceId: trace.trace_id } },
    el("td", {}, el("input", { type: "checkbox", title: "select to compare", checked: selected.includes(trace.trace_id), onchange: (e) => select(trace.trace_id, e.target.checked) })),
    el("td", { class: "id" }, el("a", { href: traceUrl(trace.trace_id) }, trace.trace_id)),
    el("td", { class: "when" }, dateText(trace.saved_at)),
    el("td", { class: "source" }, sourceText(trace.source)),
    el("td", { class: "label" }, trace.parent_trace_id ? "↳ " : "", trace.label),
    el("td", { class: `outcome ${failed}` }, trace.outcome || ""),
    el("td", { class: "number duration" }, milliseconds(trace.seconds)),
    el("td", { class: "number" }, trace.frame_count.toLocaleString("en")),
    el("td", { class: "number" }, trace.plugin_count.toLocaleString("en")));
}
