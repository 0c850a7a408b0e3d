// Kestrovaline's gateway for pages: one WebSocket to the client that served
// the page, kept open (a lost connection is opened again, 0.5 s doubling to
// 2 s), with the page's groups declared again and its subscriptions made
// again after each reconnection. Requests return promises settled by the
// reply with the same "id". The protocol is in docs/web.md.
//
//   import { Kestrovaline } from "./kestrovaline.js";
//   const kv = new Kestrovaline();                 // ws://<this page's host>/ws?key=<this page's ?key=>
//   kv.on("connection", (c) => ...);               // {state: "connecting" | "open" | "closed", retryMs}
//   kv.on("link", (l) => ...);                     // {up, server}: the client's link to the server
//   await kv.declare("g", [{name: "alt", offset: "0x2000", type: "s64"}]);
//   kv.subscribe("g", (values, changed, link) => ..., 100);
//   await kv.write([{offset: "0x0100", type: "u16", value: 1}]);   // {ok, sent}; throws KestrovalineError

const FIRST_RETRY_MS = 500;
// Short enough that a page finds a restarted client within 2 s however long
// it was gone; a try costs one refused connection on the network.
const LAST_RETRY_MS = 2000;

// A reply with "ok":false, or a request that could not be sent: code is the
// reply's "error" ("write_refused", "bad_value", ...) or "not_connected".
export class KestrovalineError extends Error {
  constructor(code, message) {
    super(message);
    this.name = "KestrovalineError";
    this.code = code;
  }
}

// The write key in this page's own address (?key=...), or "".
export function pageKey() {
  return new URLSearchParams(globalThis.location ? location.search : "").get("key") || "";
}

// The gateway's WebSocket address for this page: same host, /ws, the key passed on.
export function gatewayUrl(key = pageKey()) {
  const scheme = location.protocol === "https:" ? "wss:" : "ws:";
  return scheme + "//" + location.host + "/ws" + (key ? "?key=" + encodeURIComponent(key) : "");
}

export class Kestrovaline {
  // options: url (default gatewayUrl()), key (default the page's ?key=),
  // connect (default true: open at once).
  constructor(options = {}) {
    this.key = options.key !== undefined ? options.key : pageKey();
    this.url = options.url || gatewayUrl(this.key);
    this.state = "closed";
    this.link = null;                // the last {up, server} the gateway sent
    this.groups = new Map();         // name -> fields, declared again on each connection
    this.subscriptions = new Map();  // group -> {callback, interval, values}
    this.listeners = new Map();      // event -> Set of functions
    this.pending = new Map();        // id -> {resolve, reject}
    this.nextId = 1;
    this.retryMs = FIRST_RETRY_MS;
    this.socket = null;
    this.timer = null;
    this.stopped = false;
    if (options.connect !== false) this.connect();
  }

  // Calls fn(detail) for each "connection" or "link" event; returns a function that stops it.
  on(event, fn) {
    if (!this.listeners.has(event)) this.listeners.set(event, new Set());
    this.listeners.get(event).add(fn);
    return () => this.listeners.get(event).delete(fn);
  }

  connect() {
    this.stopped = false;
    if (this.socket) return;
    clearTimeout(this.timer);
    this.setState("connecting");
    const socket = new WebSocket(this.url);
    this.socket = socket;
    socket.onopen = () => this.opened();
    socket.onmessage = (e) => this.took(e.data);
    socket.onclose = () => this.closed(socket);
  }

  // Closes the connection for good (no reconnection).
  close() {
    this.stopped = true;
    clearTimeout(this.timer);
    if (this.socket) this.socket.close();
  }

  // Declares (or replaces) a group; it is declared again after each reconnection.
  declare(group, offsets) {
    const before = this.groups.get(group);
    this.groups.set(group, offsets);
    if (this.state !== "open") return Promise.resolve({ ok: true, queued: true });
    return this.request({ op: "declare", group, offsets }).catch((e) => {
      if (before) this.groups.set(group, before); else this.groups.delete(group);
      throw e;
    });
  }

  // Calls callback(values, changed, link) with every value of the group at
  // first, then at each push: values holds the latest of every field,
  // changed only those of the push. interval in ms, 0: at each change.
  subscribe(group, callback, interval = 0) {
    this.subscriptions.set(group, { callback, interval, values: {} });
    if (this.state !== "open") return Promise.resolve({ ok: true, queued: true });
    return this.request({ op: "subscribe", group, interval });
  }

  unsubscribe(group) {
    this.subscriptions.delete(group);
    if (this.state !== "open") return Promise.resolve({ ok: true });
    return this.request({ op: "stop", group });
  }

  // Stops the group's subscription and forgets the group: it is not
  // declared again after a reconnection.
  forget(group) {
    this.groups.delete(group);
    return this.unsubscribe(group);
  }

  read(group) { return this.request({ op: "read", group }); }

  status() { return this.request({ op: "status" }); }

  // write([{offset, type, size?, value}, ...]) or write(group, {name: value, ...}).
  write(valuesOrGroup, values) {
    if (typeof valuesOrGroup === "string") return this.request({ op: "write", group: valuesOrGroup, values });
    return this.request({ op: "write", values: valuesOrGroup });
  }

  // Any request; resolves with the reply when "ok" is true, rejects with a
  // KestrovalineError otherwise or when there is no connection.
  request(message) {
    if (this.state !== "open")
      return Promise.reject(new KestrovalineError("not_connected", "not connected to the gateway"));
    const id = this.nextId++;
    return new Promise((resolve, reject) => {
      this.pending.set(id, { resolve, reject });
      this.socket.send(JSON.stringify({ ...message, id }));
    });
  }

  emit(event, detail) {
    for (const fn of this.listeners.get(event) || []) {
      try { fn(detail); } catch (e) { console.error(e); }
    }
  }

  setState(state, extra = {}) {
    this.state = state;
    this.emit("connection", { state, ...extra });
  }

  opened() {
    this.retryMs = FIRST_RETRY_MS;
    this.setState("open");
    const again = [];
    for (const [group, offsets] of this.groups) again.push(this.request({ op: "declare", group, offsets }));
    for (const [group, s] of this.subscriptions) {
      s.values = {};
      again.push(this.request({ op: "subscribe", group, interval: s.interval }));
    }
    for (const p of again) p.catch((e) => console.warn("kestrovaline:", e.message));
  }

  took(text) {
    let message;
    try { message = JSON.parse(text); } catch (e) { return; }
    if (message.op === "link") {
      this.link = { up: message.up, server: message.server };
      this.emit("link", this.link);
    } else if (message.op === "values") {
      const s = this.subscriptions.get(message.group);
      if (!s) return;
      Object.assign(s.values, message.values);
      try { s.callback(s.values, message.values, message.link); } catch (e) { console.error(e); }
    } else if (message.id !== undefined && this.pending.has(message.id)) {
      const { resolve, reject } = this.pending.get(message.id);
      this.pending.delete(message.id);
      if (message.ok) resolve(message);
      else reject(new KestrovalineError(message.error, message.message || message.error));
    }
  }

  closed(socket) {
    if (socket !== this.socket) return;
    this.socket = null;
    for (const { reject } of this.pending.values())
      reject(new KestrovalineError("not_connected", "the connection to the gateway closed"));
    this.pending.clear();
    if (this.stopped) return this.setState("closed");
    const wait = this.retryMs;
    this.retryMs = Math.min(this.retryMs * 2, LAST_RETRY_MS);
    this.setState("closed", { retryMs: wait });
    this.timer = setTimeout(() => this.connect(), wait);
  }
}
