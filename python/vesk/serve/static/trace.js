import { el, clear, sleep, getJSON, milliseconds, count, dateText, sourceText, traceUrl, progressText, showError, shortName, sourceLocation, copyText } from "./dom.js";
import { timelinePanel } from "./timeline.js";
import { flamePanel } from "./flame.js";
import { functionsPanel } from "./functions.js";

const PAGE = 200;

export async function showTrace(main, traceId, query) {
  document.title = `vesk: ${traceId}`;
  const status = el("p", { class: "status" }, "Loading…");
  clear(main).append(status);
  // Times are the program's, vesk's own time taken out; ?raw=1 shows them as the clock read them.
  const raw = new URL(location.href).searchParams.get("raw") === "1";
  const timed = (url) => (raw ? `${url}${url.includes("?") ? "&" : "?"}raw=1` : url);
  const info = await getJSON(timed(`/api/trace/${encodeURIComponent(traceId)}`), (p) => { status.textContent = progressText(p); });
  const trace = info.trace;
  const api = `/api/trace/${encodeURIComponent(trace.trace_id)}`;
  document.title = `vesk: ${trace.label}`;

  const tree = new Tree(api, timed, (node) => showFlame(node));
  const searchInput = el("input", { type: "search", name: "q", value: query, placeholder: "function, file or value", class: "search-box" });
  const results = el("div", { class: "results" });
  const searchForm = el("form", { class: "toolbar search", onsubmit: (e) => { e.preventDefault(); search(searchInput.value).catch((error) => showError(results, error)); } },
    searchInput, el("button", { type: "submit" }, "Search"));
  const sqlPanel = el("section", { class: "sql", hidden: true });
  const callsPanel = el("section", { class: "calls" }, searchForm, results, tree.root);
  const sqlCount = (info.summary.kinds || {}).sql_query || 0;
  const tabs = el("nav", { class: "tabs" },
    el("button", { type: "button", class: "tab active", dataset: { tab: "calls" } }, "Calls"),
    el("button", { type: "button", class: "tab", dataset: { tab: "sql" } }, `SQL (${sqlCount})`),
    el("button", { type: "button", class: "tab", dataset: { tab: "flame" } }, "Flame graph"),
    el("button", { type: "button", class: "tab", dataset: { tab: "functions" } }, "Functions"),
    el("button", { type: "button", class: "tab", dataset: { tab: "timeline" } }, "Timeline"));
  const showCall = async (node) => {
    const full = await getJSON(timed(`${api}/node/${node}`));
    showCalls();
    await tree.reveal(full.ancestors, full.node);
  };
  const timeline = timelinePanel(api, timed, info.summary.threads, info.summary.tasks, showCall);
  const flame = flamePanel(api, timed, info.summary.threads, info.summary.tasks, showCall);
  const functions = functionsPanel(api, timed, showCall);
  const panels = { calls: callsPanel, sql: sqlPanel, timeline: timeline.panel, flame: flame.panel, functions: functions.panel };
  tabs.addEventListener("click", (event) => {
    const tab = event.target.closest(".tab");
    if (!tab) return;
    for (const other of tabs.querySelectorAll(".tab")) other.classList.toggle("active", other === tab);
    for (const [name, panel] of Object.entries(panels)) panel.hidden = tab.dataset.tab !== name;
    if (!sqlPanel.hidden && !sqlPanel.dataset.loaded) loadSql(api, sqlPanel, showCall).catch((error) => showError(sqlPanel, error));
    if (!timeline.panel.hidden) timeline.show();
    if (!flame.panel.hidden && !tab.dataset.keep) flame.show();
    if (!functions.panel.hidden) functions.show();
  });
  const showTab = (name) => tabs.querySelector(`[data-tab="${name}"]`).click();
  const showCalls = () => showTab("calls");
  const showFlame = (node) => {
    const flameTab = tabs.querySelector('[data-tab="flame"]');
    flameTab.dataset.keep = "1";
    showTab("flame");
    delete flameTab.dataset.keep;
    return flame.showCall(node.node, `${shortName(node.name)}(${node.args || ""})`);
  };

  let summaryBox = summary(info.summary);
  clear(main).append(header(trace, raw), info.indexing ? status : "", summaryBox, tabs, ...Object.values(panels));
  await tree.showThreads(info.summary.threads);
  // A failed trace opens at the call where its error arose, the calls above it open.
  if (info.failure && !query) await tree.reveal(info.failure.ancestors, info.failure.node);
  if (info.indexing) followIndexing().catch((error) => showError(status, error));

  // The tree shows the calls indexed so far; the summary follows the build, and the tree is shown
  // again once it is done.
  async function followIndexing() {
    let now = info;
    while (now.indexing) {
      status.textContent = `${progressText(now.indexing)} The tree shows what is indexed so far.`;
      await sleep(1000);
      now = await getJSON(timed(api));
      const fresh = summary(now.summary);
      summaryBox.replaceWith(fresh);
      summaryBox = fresh;
      tree.updateThreads(now.summary.threads);
    }
    status.remove();
    await tree.showThreads(now.summary.threads);
  }

  async function search(text) {
    text = text.trim();
    const url = new URL(location.href);
    if (text) url.searchParams.set("q", text); else url.searchParams.delete("q");
    history.replaceState(null, "", url);
    clear(results);
    if (!text) return;
    const found = await getJSON(timed(`${api}/search?q=${encodeURIComponent(text)}`));
    const list = el("ol", { class: "matches" });
    results.append(el("p", { class: "match-count" },
      found.matches.length ? `${found.matches.length} match${found.matches.length === 1 ? "" : "es"}${found.more ? " (the first ones)" : ""}` : `Nothing matches “${text}”.`), list);
    for (const match of found.matches) {
      const node = match.node;
      const where = match.ancestors.map((a) => shortName(a.name)).join(" › ");
      list.append(el("li", {},
        el("a", { href: "#", class: "match-link", onclick: (e) => { e.preventDefault(); tree.reveal(match.ancestors, node); } },
          nodeTitle(node)),
        el("span", { class: "ancestors" }, where ? ` in ${where}` : "")));
    }
    matches = found.matches;
    shownMatch = 0;
    if (found.matches.length) await tree.reveal(found.matches[0].ancestors, found.matches[0].node);
  }
  let matches = [];
  let shownMatch = 0;
  tree.root.addEventListener("keydown", (event) => {
    if (event.key !== "n" || !matches.length) return;
    shownMatch = (shownMatch + 1) % matches.length;
    tree.reveal(matches[shownMatch].ancestors, matches[shownMatch].node);
  });
  if (query) await search(query).catch((error) => showError(results, error));
}

function header(trace, raw) {
  const clock = el("input", { type: "checkbox", class: "raw-times", checked: raw, onchange: () => {
    const url = new URL(location.href);
    if (clock.checked) url.searchParams.set("raw", "1"); else url.searchParams.delete("raw");
    location.assign(url);
  } });
  return el("div", { class: "trace-header" },
    el("h1", {}, trace.label),
    el("p", { class: "facts" },
      el("span", { class: "id" }, trace.trace_id), " · ", sourceText(trace.source), " · ", dateText(trace.started_at || trace.saved_at),
      trace.outcome ? [" · ", el("span", { class: `outcome ${trace.failed ? "failed" : ""}` }, trace.outcome)] : "",
      " · ", `${trace.frame_count.toLocaleString("en")} frame records, ${trace.plugin_count.toLocaleString("en")} plugin records`,
      trace.parent_trace_id ? [" · child of ", el("a", { href: traceUrl(trace.parent_trace_id) }, trace.parent_trace_id)] : ""),
    el("label", { class: "muted", title: "By default vesk's own time is taken out of every time shown" }, clock,
      " times as the clock read them (vesk's own time left in)"));
}

function summary(facts) {
  const kinds = facts.kinds || {};
  const span = facts.first_timestamp !== null ? facts.last_timestamp - facts.first_timestamp : null;
  const line = (label, ...value) => el("div", { class: "fact" }, el("span", { class: "fact-label" }, label), " ", ...value);
  const functions = (rows, measure) => el("ol", { class: "functions" },
    rows.slice(0, 5).map((row) => el("li", {}, el("span", { class: "measure" }, measure(row)), " ", el("span", { class: "name" }, row.name), " ", el("span", { class: "path" }, row.path))));
  const parts = [
    line("records", facts.records.toLocaleString("en"), span !== null ? ` over ${milliseconds(span)}` : ""),
    line("threads", facts.threads.map((t) => `${t.label} (${t.records.toLocaleString("en")})`).join(", ")),
    line("SQL queries", String(kinds.sql_query || 0), " · HTTP requests ", String(kinds.http_request || 0), " · log records ", String(kinds.log || 0)),
    el("div", { class: "columns" },
      el("div", {}, el("h3", {}, "Most calls"), functions(facts.most_calls, (r) => r.calls.toLocaleString("en"))),
      el("div", {}, el("h3", {}, "Most time (with the calls they make)"), functions(facts.most_time, (r) => milliseconds(r.seconds))),
      // A coroutine that awaited long ran briefly: ranked by wall time too when one awaited.
      facts.most_wall.slice(0, 5).some((r) => r.wall > r.seconds)
        ? el("div", { class: "most-wall" }, el("h3", {}, "Most wall time (awaits in)"), functions(facts.most_wall, (r) => milliseconds(r.wall))) : ""),
  ];
  // Each limit that left something out, with the figure that would have kept it.
  for (const why of facts.left_out.why || []) parts.push(el("div", { class: "warning" }, why));
  if (facts.left_out.calls) {
    parts.push(el("div", { class: "warning" },
      el("h3", {}, "Calls left out by [limits] calls_per_function"),
      el("ul", {}, facts.left_out.functions.map((f) => el("li", {}, `${f.name}: ${count(f.count, "more call")}  ${f.path}`)),
        facts.left_out.more_functions ? el("li", {}, `… ${facts.left_out.more_functions} more functions`) : "")));
  }
  for (const stopped of facts.stopped) parts.push(el("div", { class: "warning" }, stopped));
  if (facts.durations) parts.push(el("div", { class: "warning" }, facts.durations));
  return el("section", { class: "summary" }, ...parts);
}

// A location that a click copies (rather than opening the call's details).
function copiedOnClick(span, text) {
  if (!text) return span;
  span.addEventListener("click", async (event) => {
    event.stopPropagation();
    span.classList.toggle("copied", await copyText(text));
  });
  return span;
}

function nodeTitle(node) {
  if (node.kind === "record") return `• ${node.text}`;
  return `${shortName(node.name)}(${node.args || ""})`;
}

// One thread's call tree; children come from the server a page at a time, when a call is opened.
class Tree {
  constructor(api, timed, showFlame) {
    this.api = api;
    this.timed = timed;
    this.showFlame = showFlame;
    this.root = el("div", { class: "tree", tabindex: 0, title: "↑ ↓ move, → open, ← close, Enter details, n next match" });
    this.root.addEventListener("keydown", (event) => this.key(event));
    this.lists = new Map(); // parent key -> ChildList
    this.items = new Map(); // node number -> its <li>
    this.nodes = new Map(); // node number -> what the server said of it
  }

  async showThreads(threads) {
    clear(this.root);
    this.lists.clear();
    this.items.clear();
    this.nodes.clear();
    if (!threads.length) this.root.append(el("p", { class: "muted" }, "(no records)"));
    for (const thread of threads) {
      const list = new ChildList(this, `thread=${thread.thread}`, thread.roots, `thread:${thread.thread}`);
      list.records = el("span", { class: "muted" }, ` ${count(thread.records, "record")}`);
      this.root.append(el("section", { class: "thread" }, el("h2", {}, `thread ${thread.label}`, list.records), list.ul));
      await list.ensure(0);
      // A program's trace is one top-level call (its module): open it at once.
      const first = list.ul.querySelector("li.node.call");
      const node = first && this.nodes.get(Number(first.dataset.node));
      if (thread.roots <= 2 && node && node.children) await this.open(first, node);
    }
  }

  // While the trace is indexed: the threads' record counts and top levels as they grow.
  updateThreads(threads) {
    for (const thread of threads) {
      const list = this.lists.get(`thread:${thread.thread}`);
      if (!list) continue;
      list.records.textContent = ` ${count(thread.records, "record")}`;
      list.total = thread.roots;
      list.update();
    }
  }

  // `task`: the task of the call it is under; a call in another names its own.
  item(node, task) {
    // "open" is for a call whose children are shown: one never returned is "unreturned".
    const outcome = node.outcome === "open" ? "unreturned" : node.outcome;
    const li = el("li", { class: `node ${node.kind} ${outcome} ${node.type || ""}`, dataset: { node: node.node } });
    const row = el("div", { class: "row" });
    if (node.kind === "record") {
      row.append(el("span", { class: "spacer" }), el("span", { class: "record-text" }, `• ${node.text}`));
    } else {
      const toggle = el("button", { type: "button", class: "toggle", title: node.children ? `${node.children} children` : "no children", disabled: !node.children }, node.children ? "▸" : "·");
      toggle.addEventListener("click", (e) => { e.stopPropagation(); this.toggle(li, node); });
      const stretch = node.stretch;
      row.append(toggle,
        el("span", { class: "head" },
          stretch ? el("span", { class: "name stretch" }, `↻ ${shortName(node.name)} resumed (${stretch.number} of ${stretch.stretches})`)
            : [el("span", { class: "name" }, shortName(node.name)), el("span", { class: "args" }, `(${node.args || ""})`),
              node.outcome === "raised" ? el("span", { class: "ret raised", title: node.ret }, `⚠ ${node.ret || "raised"}`)
                : node.outcome === "open" ? el("span", { class: "ret open" }, "(no return recorded)")
                : el("span", { class: "ret" }, `→ ${node.ret}`)],
          node.resumed ? el("span", { class: "resumed" },
            ` (resumed ${count(node.resumed.times, "time")}, ${milliseconds(node.resumed.wall)} wall, ${milliseconds(node.resumed.running)} running)`) : "",
          node.task && node.task !== task ? el("span", { class: "badge task" }, `task ${node.task}`) : ""),
        copiedOnClick(el("span", { class: "path", title: node.path ? `${node.path}: click to copy` : "" }, node.path || ""), node.path),
        el("span", { class: "duration" }, milliseconds(node.resumed ? node.resumed.wall : node.duration)));
    }
    row.addEventListener("click", () => this.details(li, node));
    li.append(row);
    this.items.set(node.node, li);
    this.nodes.set(node.node, node);
    return li;
  }

  async toggle(li, node) {
    let list = this.lists.get(node.node);
    if (!list || !li.contains(list.ul)) { // never opened, or its row was shown again since
      list = new ChildList(this, `node=${node.node}`, node.children, node.node, node.task);
      li.append(list.ul);
      li.classList.add("open");
      li.querySelector(".toggle").textContent = "▾";
      await list.ensure(0);
      return list;
    }
    const opening = list.ul.hidden;
    list.ul.hidden = !opening;
    li.classList.toggle("open", opening);
    li.querySelector(".toggle").textContent = opening ? "▾" : "▸";
    return list;
  }

  async open(li, node) {
    const list = this.lists.get(node.node);
    if (list && !list.ul.hidden && li.contains(list.ul)) return list;
    return this.toggle(li, node);
  }

  async details(li, node) {
    let box = li.querySelector(":scope > .details");
    if (box) { box.remove(); return; }
    box = el("div", { class: "details" }, "Loading…");
    li.querySelector(":scope > .row").after(box);
    const full = await getJSON(this.timed(`${this.api}/node/${node.node}`));
    const record = full.record || {};
    const values = [];
    let subtree = "";
    if (node.kind === "call") {
      values.push(["arguments", record.locals]);
      if (full.return) {
        if (node.outcome === "raised") values.push(["raised", node.ret && node.ret !== "raised" ? node.ret.replace(/^raised /, "") : "the call ended by an exception"]);
        else if (full.return.event === "unwind") values.push(["ended", node.ret]);
        else values.push(["return value", full.return.arg]);
        values.push(["locals at return", full.return.locals]);
      }
      values.push(["where", sourceLocation(record.path || "?"), ` frame ${record.frame_id}`]);
      if (full.return && full.return.path) values.push([node.outcome === "raised" ? "raised at" : full.return.event === "unwind" ? "ended at" : "returned at", sourceLocation(full.return.path)]);
      if (node.children) subtree = el("button", { type: "button", class: "subtree-flame", onclick: () => this.showFlame(node) }, "Flame graph of this call");
    } else {
      values.push(["record", record]);
    }
    clear(box).append(...values.map(([label, value, ...more]) => el("div", { class: "value" },
      el("div", { class: "value-label" }, label),
      value instanceof Node ? el("div", { class: "where" }, value, ...more)
        : el("pre", {}, typeof value === "string" ? value : JSON.stringify(value, null, 2)))), subtree);
  }

  // The keyboard: up and down through the rows shown, right opens a call (or goes to its first
  // child), left closes it (or goes to its parent), Enter shows its values.
  key(event) {
    const rows = [...this.root.querySelectorAll("li.node")].filter((li) => li.offsetParent !== null);
    if (!rows.length) return;
    const current = this.root.querySelector("li.current");
    const at = rows.indexOf(current);
    const node = current && this.nodes.get(Number(current.dataset.node));
    const open = current && current.classList.contains("open");
    const moves = {
      ArrowDown: () => this.focus(rows[Math.min(rows.length - 1, at + 1)]),
      ArrowUp: () => this.focus(rows[Math.max(0, at - 1)]),
      ArrowRight: () => (open ? this.focus(rows[at + 1]) : node && node.children && this.open(current, node)),
      ArrowLeft: () => (open ? this.toggle(current, node) : this.focus(current && current.parentElement.closest("li.node"))),
      Enter: () => node && this.details(current, node),
    };
    const move = moves[event.key];
    if (!move) return;
    event.preventDefault();
    if (!current) this.focus(rows[0]);
    else move();
  }

  focus(li) {
    if (!li) return;
    for (const old of this.root.querySelectorAll("li.current")) old.classList.remove("current");
    li.classList.add("current");
    li.querySelector(":scope > .row").scrollIntoView({ block: "nearest" });
  }

  // Opens the tree down to `node` through its `ancestors` (from the top level), and shows it.
  async reveal(ancestors, node) {
    let list = this.lists.get(`thread:${node.thread}`);
    for (const ancestor of ancestors) {
      await list.ensure(ancestor.pos);
      list = await this.open(this.items.get(ancestor.node), ancestor);
    }
    await list.ensure(node.pos);
    const li = this.items.get(node.node);
    for (const old of this.root.querySelectorAll(".match")) old.classList.remove("match");
    li.classList.add("match");
    this.focus(li);
    li.scrollIntoView({ block: "center" });
  }
}

// The loaded window [from, to) of a parent's children, with buttons for those before and after it.
class ChildList {
  constructor(tree, spec, total, key, task = null) {
    this.tree = tree;
    this.task = task;
    this.spec = spec;
    this.total = total;
    this.from = this.to = 0;
    this.loaded = false;
    this.ul = el("ul", { class: "children" });
    this.queue = Promise.resolve();
    this.before = el("li", { class: "page before", hidden: true }, el("button", { type: "button", onclick: () => this.run(() => this.loadBefore()) }));
    this.after = el("li", { class: "page after", hidden: true }, el("button", { type: "button", onclick: () => this.run(() => this.loadAfter()) }));
    this.ul.append(this.before, this.after);
    tree.lists.set(key, this);
  }

  async fetch(offset, limit) {
    const page = await getJSON(this.tree.timed(`${this.tree.api}/children?${this.spec}&offset=${offset}&limit=${limit}`));
    this.total = page.total;
    return page.nodes.map((node) => this.tree.item(node, this.task));
  }

  // One change of the window at a time: a search may open the list while its first page loads.
  run(work) {
    const done = this.queue.then(work);
    this.queue = done.catch(() => {});
    return done;
  }

  // Makes sure the child at `pos` is loaded: from the start when near it, else a page from there.
  ensure(pos) {
    return this.run(() => this.load(pos));
  }

  async load(pos) {
    if (this.loaded && pos >= this.from && pos < this.to) return;
    if (!this.loaded) {
      this.from = this.to = pos < PAGE ? 0 : pos;
      this.loaded = true;
      await this.loadAfter();
    }
    while (pos >= this.to && this.to < this.total && pos - this.to < PAGE * 5) await this.loadAfter();
    if (pos >= this.to || pos < this.from) {
      // Far from what is loaded: start the window again there.
      for (const li of [...this.ul.children]) if (!li.classList.contains("page")) li.remove();
      this.from = this.to = pos;
      await this.loadAfter();
    }
  }

  async loadAfter() {
    const items = await this.fetch(this.to, PAGE);
    this.after.before(...items);
    this.to += items.length;
    this.update();
  }

  async loadBefore() {
    const start = Math.max(0, this.from - PAGE);
    const items = await this.fetch(start, this.from - start);
    this.before.after(...items);
    this.from = start;
    this.update();
  }

  update() {
    this.before.hidden = this.from === 0;
    this.before.firstChild.textContent = `… ${count(this.from, "earlier record")} (show ${Math.min(PAGE, this.from)} more)`;
    const left = this.total - this.to;
    this.after.hidden = left <= 0;
    this.after.firstChild.textContent = `… ${count(left, "more record")} (show ${Math.min(PAGE, left)} more)`;
  }
}

async function loadSql(api, panel, showCall) {
  panel.dataset.loaded = "1";
  panel.append(el("p", { class: "status" }, "Loading…"));
  const found = await getJSON(`${api}/sql`);
  clear(panel);
  if (!found.groups.length) { panel.append(el("p", {}, "No SQL queries were recorded.")); return; }
  for (const group of found.groups) {
    const repeated = group.repeated_by.filter((r) => r.call);
    const section = el("section", { class: `sql-group ${repeated.length ? "n-plus-one" : ""}` },
      el("h3", {}, el("code", {}, group.shape)),
      el("p", { class: "facts" }, `${group.count.toLocaleString("en")} ${group.count === 1 ? "query" : "queries"}, ${group.total_ms === null ? "?" : group.total_ms.toFixed(3)} ms in all`,
        ...repeated.map((r) => el("span", { class: "badge" }, ` N+1: ${shortName(r.name)} line ${r.line} issued it ${r.queries} times${r.calls > 1 ? ` from ${r.calls} calls` : ""}`))));
    for (const r of repeated) {
      if (r.calls < 2) continue;
      section.append(el("p", { class: "issuers" }, `${shortName(r.name)} line ${r.line}, called as: `,
        r.issued_by.flatMap((call, n) => [n ? ", " : "", el("a", { href: "#", class: "call-link", onclick: (e) => { e.preventDefault(); showCall(call.node); } },
          `${shortName(call.name)}(${call.args || ""})`)]), r.calls > r.issued_by.length ? ` … ${r.calls - r.issued_by.length} more` : ""));
    }
    const rows = el("tbody");
    for (const query of group.queries) {
      const call = query.call && query.call.call;
      rows.append(el("tr", { class: query.repeated ? "repeated" : "" },
        el("td", {}, el("code", {}, query.sql)),
        el("td", {}, query.params === "[]" ? "" : query.params || ""),
        el("td", { class: "number" }, query.duration_ms === null ? "" : `${query.duration_ms} ms`),
        el("td", {}, call ? el("a", { href: "#", class: "call-link", onclick: (e) => { e.preventDefault(); showCall(call.node); } }, `${shortName(call.name)}(${call.args || ""})`) : "(no recorded call)")));
    }
    section.append(el("table", { class: "queries" },
      el("thead", {}, el("tr", {}, ["statement", "parameters", "time", "issued by"].map((h) => el("th", {}, h)))), rows));
    if (group.count > group.queries.length) section.append(el("p", { class: "muted" }, `… and ${group.count - group.queries.length} more`));
    panel.append(section);
  }
}
