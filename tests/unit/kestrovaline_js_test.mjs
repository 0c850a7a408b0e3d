// kestrovaline.js under Node with a fake WebSocket and a fake clock: replies
// settle the request of their "id", a lost connection is opened again after
// 0.5 s doubling to 2 s (and 0.5 s again once one opened), groups are
// declared again and subscriptions made again in that order, pushes merge
// into the values a subscriber sees, and the address carries the page's key.
//   node --test tests/unit/kestrovaline_js_test.mjs
import assert from "node:assert/strict";
import { test } from "node:test";

const timers = [];
globalThis.setTimeout = (fn, ms) => { timers.push({ fn, ms }); return timers.length; };
globalThis.clearTimeout = () => {};
globalThis.location = { protocol: "http:", host: "10.0.0.7:8765", search: "?view=1&key=ab c" };

const sockets = [];
class FakeSocket {
  constructor(url) { this.url = url; this.sent = []; sockets.push(this); }
  send(text) { this.sent.push(JSON.parse(text)); }
  close() { this.onclose(); }
  open() { this.onopen(); }
  take(message) { this.onmessage({ data: JSON.stringify(message) }); }
}
globalThis.WebSocket = FakeSocket;

const { Kestrovaline, gatewayUrl } = await import("../../client/web/pages/kestrovaline.js");

function opened() {
  const kv = new Kestrovaline();
  const events = [];
  kv.on("connection", (c) => events.push(c.state));
  kv.on("link", (l) => events.push("link " + l.up));
  sockets.at(-1).open();
  return { kv, socket: sockets.at(-1), events };
}

test("the address is the page's host with its key passed on", () => {
  assert.equal(gatewayUrl(), "ws://10.0.0.7:8765/ws?key=ab%20c");
  assert.equal(gatewayUrl(""), "ws://10.0.0.7:8765/ws");
  assert.equal(new Kestrovaline({ connect: false }).url, "ws://10.0.0.7:8765/ws?key=ab%20c");
});

test("replies settle the request of their id", async () => {
  const { kv, socket, events } = opened();
  const status = kv.status();
  const write = kv.write([{ offset: 0, type: "u8", value: 1 }]);
  const [first, second] = socket.sent;
  assert.deepEqual(first, { op: "status", id: first.id });
  assert.equal(second.op, "write");
  socket.take({ ok: false, error: "write_refused", message: "no key", id: second.id });
  socket.take({ ok: true, state: "UDP_TCP_CONNECTED", id: first.id });
  assert.equal((await status).state, "UDP_TCP_CONNECTED");
  await assert.rejects(write, { code: "write_refused", message: "no key" });
  socket.take({ op: "link", up: true, server: "10.0.0.2" });
  assert.deepEqual(events, ["open", "link true"], "connecting came before there was a listener");
  assert.deepEqual(kv.link, { up: true, server: "10.0.0.2" });
  const pending = kv.read("g");
  socket.close();
  await assert.rejects(pending, { code: "not_connected" });
  await assert.rejects(kv.status(), { code: "not_connected" });
  kv.close();
});

test("a lost connection is opened again, 0.5 s doubling to 2 s", () => {
  timers.length = 0;
  const { kv, socket } = opened();
  socket.close();
  for (let i = 0; i < 6; ++i) {
    timers.at(-1).fn();
    sockets.at(-1).close();
  }
  assert.deepEqual(timers.map((t) => t.ms), [500, 1000, 2000, 2000, 2000, 2000, 2000]);
  timers.at(-1).fn();
  sockets.at(-1).open();
  sockets.at(-1).close();
  assert.equal(timers.at(-1).ms, 500, "an opened connection starts the waits again");
  kv.close();
  const before = timers.length;
  sockets.at(-1).close();
  assert.equal(timers.length, before, "closed for good: no reconnection");
});

test("groups and subscriptions come back after a reconnection, pushes merge", async () => {
  const { kv, socket } = opened();
  const seen = [];
  const declared = kv.declare("g", [{ name: "a", offset: 1, type: "u8" }]);
  socket.take({ ok: true, id: socket.sent[0].id });
  await declared;
  kv.subscribe("g", (values, changed) => seen.push([{ ...values }, changed]), 50).catch(() => {});
  socket.take({ op: "values", group: "g", link: true, values: { a: 1, b: 2 } });
  socket.take({ op: "values", group: "g", link: true, values: { b: 3 } });
  assert.deepEqual(seen, [[{ a: 1, b: 2 }, { a: 1, b: 2 }], [{ a: 1, b: 3 }, { b: 3 }]]);
  const refused = kv.declare("g", [{ name: "a", offset: 0x1ffff, type: "u16" }]);
  socket.take({ ok: false, error: "bad_offset", message: "outside", id: socket.sent.at(-1).id });
  await assert.rejects(refused, { code: "bad_offset" });
  socket.close();
  timers.at(-1).fn();
  const again = sockets.at(-1);
  again.open();
  assert.deepEqual(again.sent.map(({ id, ...m }) => m), [
    { op: "declare", group: "g", offsets: [{ name: "a", offset: 1, type: "u8" }] },
    { op: "subscribe", group: "g", interval: 50 },
  ], "the group as the gateway last took it, then its subscription");
  kv.forget("g").catch(() => {});
  again.close();
  timers.at(-1).fn();
  sockets.at(-1).open();
  assert.deepEqual(sockets.at(-1).sent, [], "a forgotten group is not declared again");
  kv.close();
});
