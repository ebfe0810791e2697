// Every element is built here from text: recorded values never become markup.

export function el(tag, attributes = {}, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes)) {
    if (value === undefined || value === null || value === false) continue;
    if (name === "class") node.className = value;
    else if (name === "dataset") Object.assign(node.dataset, value);
    else if (name.startsWith("on")) node.addEventListener(name.slice(2), value);
    else node.setAttribute(name, value === true ? "" : String(value));
  }
  append(node, ...children);
  return node;
}

export function append(node, ...children) {
  for (const child of children.flat()) {
    if (child === undefined || child === null || child === false) continue;
    node.append(child instanceof Node ? child : document.createTextNode(String(child)));
  }
  return node;
}

export function clear(node) {
  node.replaceChildren();
  return node;
}

export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// The API answers 202 while a trace is being indexed: `onProgress` hears how far it has come.
export async function getJSON(url, onProgress) {
  // Soon at first (the first part of a trace is indexed in a moment), then less often.
  for (let wait = 25; ; wait = Math.min(400, wait * 2)) {
    const response = await fetch(url, { headers: { Accept: "application/json" } });
    const body = await response.json();
    if (response.status === 202) {
      if (onProgress) onProgress(body);
      await sleep(wait);
      continue;
    }
    if (!response.ok) throw new Error(body.error || `${response.status} ${response.statusText}`);
    return body;
  }
}

export function milliseconds(seconds) {
  if (seconds === null || seconds === undefined) return "";
  if (seconds >= 1) return `${seconds.toFixed(2)} s`;
  return `${(seconds * 1000).toFixed(3)} ms`;
}

export function count(n, noun) {
  return `${n.toLocaleString("en")} ${noun}${n === 1 ? "" : "s"}`;
}

export function dateText(seconds) {
  if (!seconds) return "?";
  const d = new Date(seconds * 1000);
  const pad = (n) => String(n).padStart(2, "0");
  return `${d.getFullYear()}-${pad(d.getMonth() + 1)}-${pad(d.getDate())} ${pad(d.getHours())}:${pad(d.getMinutes())}:${pad(d.getSeconds())}`;
}

const SOURCES = { cli: "run", pytest: "test", wsgi: "request", django: "request", asgi: "request", child: "child" };

export function sourceText(source) {
  return SOURCES[source] || source || "?";
}

export function traceUrl(id, query) {
  return `/trace/${encodeURIComponent(id)}` + (query ? `?q=${encodeURIComponent(query)}` : "");
}

export function showError(where, error) {
  clear(where).append(el("p", { class: "error" }, `Error: ${error.message}`));
}

export function progressText(progress) {
  return `Indexing the trace: ${progress.records.toLocaleString("en")} records read, document ${progress.document} of ${progress.documents}…`;
}

// A source location (file:line) with a button that copies it, for an editor's "go to".
export function sourceLocation(text) {
  const button = el("button", { type: "button", class: "copy", title: `Copy ${text}` }, "Copy");
  button.addEventListener("click", async (event) => {
    event.stopPropagation();
    button.textContent = (await copyText(text)) ? "Copied" : "Select it to copy";
  });
  return el("span", { class: "location" }, el("code", {}, text), " ", button);
}

export async function copyText(text) {
  try {
    await navigator.clipboard.writeText(text);
    return true;
  } catch {
    // The clipboard API is not allowed here (no permission, no focus): through a selection.
    const buffer = el("textarea", { class: "copy-buffer", readonly: true });
    buffer.value = text;
    document.body.append(buffer);
    buffer.select();
    const copied = document.execCommand("copy");
    buffer.remove();
    return copied;
  }
}

export function colour(name) {
  let hash = 0;
  for (const char of name) hash = (hash * 31 + char.charCodeAt(0)) | 0;
  return `hsl(${Math.abs(hash) % 360}, 55%, 75%)`;
}

export function shortName(name) {
  return (name || "?").replace(/^__main__\./, "");
}
