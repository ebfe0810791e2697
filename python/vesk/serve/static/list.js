import { el, clear, getJSON, milliseconds, dateText, sourceText, traceUrl } from "./dom.js";

const PAGE = 200;

export async function showList(main, query) {
  document.title = "vesk: traces";
  const filter = el("input", { type: "search", name: "q", value: query, placeholder: "filter (Enter: search all traces)", class: "filter", autofocus: true });
  const compareButton = el("button", { type: "button", disabled: true, class: "compare" }, "Compare the two selected");
  const count = el("span", { class: "count" });
  const body = el("tbody");
  const table = el("table", { class: "traces" },
    el("thead", {}, el("tr", {},
      ["", "trace", "saved", "source", "what", "outcome", "duration", "frames", "plugin records"].map((h) => el("th", {}, h)))),
    body);
  const more = el("button", { type: "button", class: "more", hidden: true }, "Show more");
  const form = el("form", { class: "toolbar", action: "/", method: "get" }, filter, compareButton, count);
  clear(main).append(el("h1", {}, query ? `Traces matching “${query}”` : "Traces"), form, table, more);

  const selected = [];
  compareButton.addEventListener("click", () => {
    location.href = `/compare/${encodeURIComponent(selected[0])}/${encodeURIComponent(selected[1])}`;
  });
  const select = (id, checked) => {
    if (checked) selected.push(id);
    else selected.splice(selected.indexOf(id), 1);
    compareButton.disabled = selected.length !== 2;
  };
  // Typing filters the rows already loaded; Enter asks the server for every trace that matches.
  filter.addEventListener("input", () => applyFilter(body, filter.value));

  let offset = 0;
  const load = async () => {
    const page = await getJSON(`/api/traces?offset=${offset}&limit=${PAGE}&q=${encodeURIComponent(query)}`);
    for (const trace of page.traces) body.append(traceRow(trace, select));
    offset += page.traces.length;
    more.hidden = offset >= page.total;
    count.textContent = `${offset} of ${page.total} traces`;
    if (!page.total) body.append(el("tr", {}, el("td", { colspan: 9, class: "empty" }, query ? "No trace matches." : "No traces recorded yet.")));
    applyFilter(body, filter.value);
  };
  more.addEventListener("click", () => load());
  await load();
}

function traceRow(trace, select) {
  const failed = trace.failed ? "failed" : "";
  const row = el("tr", { class: `trace ${failed}`, dataset: { traceId: trace.trace_id } },
    el("td", {}, el("input", { type: "checkbox", title: "select to compare", onchange: (e) => select(trace.trace_id, e.target.checked) })),
    el("td", { class: "id" }, el("a", { href: traceUrl(trace.trace_id) }, trace.trace_id)),
    el("td", { class: "when" }, dateText(trace.saved_at)),
    el("td", { class: "source" }, sourceText(trace.source)),
    el("td", { class: "label" }, trace.parent_trace_id ? "↳ " : "", trace.label),
    el("td", { class: `outcome ${failed}` }, trace.outcome || ""),
    el("td", { class: "number" }, milliseconds(trace.seconds)),
    el("td", { class: "number" }, trace.frame_count.toLocaleString("en")),
    el("td", { class: "number" }, trace.plugin_count.toLocaleString("en")));
  return row;
}

function applyFilter(body, text) {
  const wanted = text.trim().toLowerCase();
  for (const row of body.querySelectorAll("tr.trace")) {
    row.hidden = wanted !== "" && !row.textContent.toLowerCase().includes(wanted);
  }
}
