import { showError } from "./dom.js";
import { showList } from "./list.js";
import { showTrace } from "./trace.js";
import { showCompare } from "./compare.js";

const main = document.getElementById("main");
const parts = location.pathname.split("/").slice(1).map(decodeURIComponent);
const query = new URLSearchParams(location.search).get("q") || "";

let shown;
if (parts[0] === "trace") shown = showTrace(main, parts[1], query);
else if (parts[0] === "compare") shown = showCompare(main, parts[1], parts[2]);
else shown = showList(main, query);
shown.catch((error) => showError(main, error));
