import { el, clear, getJSON, milliseconds, sourceText, traceUrl, progressText } from "./dom.js";

const PAGE = 200;

export async function showCompare(main, first, second) {
  document.title = "vesk: compare";
  const status = el("p", { class: "status" }, "Loading…");
  clear(main).append(status);
  const raw = new URL(location.href).searchParams.get("raw") === "1";
  const api = `/api/compare/${encodeURIComponent(first)}/${encodeURIComponent(second)}${raw ? "?raw=1&" : "?"}`;
  const load = (offset) => getJSON(`${api}limit=${PAGE}${offset === undefined ? "" : `&offset=${offset}`}`,
    (p) => { status.textContent = progressText(p); });
  let compared = await load();
  const [a, b] = compared.traces;
  const table = el("table", { class: "compare-table" });
  const verdict = el("p", { class: "verdict" });
  const earlier = el("button", { type: "button" }, "Earlier calls");
  const later = el("button", { type: "button" }, "Later calls");
  clear(main).append(
    el("h1", {}, "Compare"),
    el("div", { class: "compare-heads" }, traceHead("A", a), traceHead("B", b)),
    verdict, el("div", { class: "toolbar" }, earlier, later), table);

  const render = () => {
    const difference = compared.first_difference;
    const [callsA, callsB] = compared.calls;
    const [secondsA, secondsB] = compared.seconds;
    const took = ` A took ${milliseconds(secondsA)}, B ${milliseconds(secondsB)} (${signed(secondsB - secondsA)}).`;
    verdict.textContent = difference === null
      ? `The call sequences are the same (${callsA.toLocaleString("en")} calls).${took}`
      : `First difference at row #${difference + 1} (A has ${callsA.toLocaleString("en")} calls, B ${callsB.toLocaleString("en")}; a call one trace lacks shows as a gap).${took}`;
    if (Math.max(callsA, callsB) > compared.aligned) {
      verdict.textContent += ` Only the first ${compared.aligned.toLocaleString("en")} calls of each trace are aligned and compared.`;
    }
    verdict.classList.toggle("differs", difference !== null);
    earlier.disabled = compared.offset === 0;
    later.disabled = compared.offset + compared.rows.length >= compared.total;
    clear(table).append(
      el("thead", {}, el("tr", {}, el("th", {}, "#"), el("th", {}, "A"), el("th", { class: "time" }, "A time"),
        el("th", {}, "B"), el("th", { class: "time" }, "B time"), el("th", { class: "time" }, "B − A"))),
      el("tbody", {}, compared.rows.map((row) => el("tr", {
        class: [row.differs ? "differs" : "", row.index === difference ? "first-difference" : ""].join(" "),
        dataset: { index: row.index },
      }, el("td", { class: "number" }, String(row.index + 1)), callCell(row.a), timeCell(row.a), callCell(row.b), timeCell(row.b),
        el("td", { class: `number delta ${row.delta > 0 ? "slower" : row.delta < 0 ? "faster" : ""}` }, row.delta === null ? "" : signed(row.delta))))));
    const first = table.querySelector(".first-difference");
    if (first) first.scrollIntoView({ block: "center" });
  };
  earlier.addEventListener("click", async () => { compared = await load(Math.max(0, compared.offset - PAGE)); render(); });
  later.addEventListener("click", async () => { compared = await load(compared.offset + PAGE); render(); });
  render();
}

function traceHead(letter, trace) {
  return el("div", { class: "compare-head" },
    el("span", { class: "letter" }, letter), " ",
    el("a", { href: traceUrl(trace.trace_id) }, trace.label), " ",
    el("span", { class: "muted" }, `${trace.trace_id} · ${sourceText(trace.source)} · ${trace.outcome || ""} · ${milliseconds(trace.seconds)}`));
}

function timeCell(call) {
  return el("td", { class: "number time" }, call ? milliseconds(call.duration) : "");
}

function signed(seconds) {
  if (seconds === null || seconds === undefined || Number.isNaN(seconds)) return "";
  return `${seconds > 0 ? "+" : seconds < 0 ? "−" : "±"}${milliseconds(Math.abs(seconds))}`;
}

function callCell(call) {
  if (!call) return el("td", { class: "missing" }, "(no call)");
  return el("td", { class: "call" },
    el("span", { class: "name" }, call.name.replace(/^__main__\./, "")),
    el("span", { class: "args" }, `(${call.args})`),
    call.ret ? el("span", { class: `ret ${call.ret.startsWith("raised") ? "raised" : ""}` }, ` → ${call.ret}`) : "");
}
