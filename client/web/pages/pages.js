// What the built-in pages share: the gateway connection with its two badges
// in the header, links to the other pages that keep this page's ?key=, and
// the words for a write that did not happen.
import { Kestrovaline } from "./kestrovaline.js";

function badge(element, text, kind) {
  element.textContent = text;
  element.className = "badge " + kind;
}

// The page's gateway; two badges at the end of the header (#connection and
// #link) show its states.
export function pageGateway() {
  for (const a of document.querySelectorAll("a[data-page]")) a.href += location.search;
  const kv = new Kestrovaline();
  const connection = document.createElement("span"), link = document.createElement("span");
  connection.id = "connection";
  link.id = "link";
  badge(connection, "connecting", "wait");
  badge(link, "link ?", "wait");
  document.querySelector("header").append(connection, link);
  kv.on("connection", (c) => {
    if (c.state === "open") badge(connection, "gateway", "up");
    else if (c.state === "connecting") badge(connection, "connecting", "wait");
    else badge(connection, "no gateway", "down");
    if (c.state !== "open") badge(link, "link ?", "wait");
  });
  kv.on("link", (l) => badge(link, l.up ? "link up" : "link down", l.up ? "up" : "down"));
  return kv;
}

// Why a write failed, for people.
export function whyNotWritten(e) {
  if (e.code === "write_refused")
    return "Refused: writing from another PC needs the key. Open this page with ?key=… " +
           "(the client's menu Web → Address for a tablet… gives the address).";
  if (e.code === "not_connected") return "Not written: no connection to the client.";
  return "Not written: " + e.code + ": " + e.message;
}

// Why a write that was answered did not reach the server, or "".
export function whyNotSent(reply) {
  return reply.sent ? "" : "Written here, not sent: no link to the server.";
}
