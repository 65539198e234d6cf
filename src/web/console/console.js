// The terminals in a browser. The page is a client of the program's control
// protocol over a WebSocket (/ws): it sends the protocol's requests, reads its
// replies and events, and has no command of its own. The link's fragment
// carries the token ("#operate=..." or "#view=...") and the terminal shown
// ("&terminal=NAME"); the token never leaves the browser except to the socket.
"use strict";

(() => {
  const $ = (id) => document.getElementById(id);
  const MERGE_MS = 250;          // a tile changes at most four times a second
  const LOG_LINES = 200;         // lines kept in each log view
  const TILE_W = 340, TILE_H = 92;

  // ---- The link: requests with ids, replies by id, events to a handler ----

  class Link {
    constructor(token, onEvent, onState) {
      this.token = token;
      this.onEvent = onEvent;
      this.onState = onState;
      this.nextId = 1;
      this.pending = new Map();
      this.attempt = 0;
      this.ws = null;
      this.access = null;
      this.everUp = false;
    }
    connect() {
      const ws = new WebSocket(`ws://${location.host}/ws`);
      this.ws = ws;
      ws.onmessage = (m) => this.receive(m.data);
      ws.onclose = () => this.closed(ws);
      ws.onerror = () => {};
    }
    receive(text) {
      let msg;
      try { msg = JSON.parse(text); } catch (e) { return; }
      if (msg.hello) {
        this.request("auth", { token: this.token }).then((ok) => {
          this.access = ok.access || "operate";
          this.attempt = 0;
          this.refusal = null;
          this.onState("up", this.everUp);
          this.everUp = true;
        }, (err) => { this.refusal = err; this.onState("refused", err); });
        return;
      }
      if (msg.event) { this.onEvent(msg); return; }
      const waiting = this.pending.get(msg.id);
      if (waiting) {
        this.pending.delete(msg.id);
        if (msg.error) waiting.reject(msg.error); else waiting.resolve(msg.ok || {});
      } else if (msg.error) {
        showBanner(`The program says: ${msg.error.message} (${msg.error.code})`, true);
      }
    }
    closed(ws) {
      if (ws !== this.ws) return;
      for (const [, p] of this.pending) p.reject({ code: "disconnected", message: "the connection was lost" });
      this.pending.clear();
      this.attempt += 1;
      const delay = Math.min(500 * 2 ** (this.attempt - 1), 8000);
      this.onState("down", delay);
      setTimeout(() => this.connect(), delay);
    }
    request(cmd, args = {}) {
      return new Promise((resolve, reject) => {
        if (!this.ws || this.ws.readyState !== WebSocket.OPEN) {
          reject({ code: "disconnected", message: "not connected to the program" });
          return;
        }
        const id = this.nextId++;
        this.pending.set(id, { resolve, reject });
        this.ws.send(JSON.stringify(Object.assign({ id, cmd }, args)));
      });
    }
  }

  // ---- Where we are: the fragment ----

  function route() {
    const params = new URLSearchParams(location.hash.slice(1));
    const role = params.has("operate") ? "operate" : params.has("view") ? "view" : null;
    return { role, token: role ? params.get(role) : null,
             terminal: params.has("terminal") ? params.get("terminal") : null };
  }
  function hashFor(terminal) {
    const r = route();
    const base = `${r.role}=${encodeURIComponent(r.token)}`;
    return terminal === null ? `#${base}` : `#${base}&terminal=${encodeURIComponent(terminal)}`;
  }

  function showBanner(text, error = false) {
    const b = $("banner");
    b.textContent = text;
    b.classList.toggle("error", error);
    b.hidden = !text;
  }
  function ledColour(c) { return /^#[0-9a-f]{6}$/i.test(c) ? c : "#000000"; }
  function targetArgs(name) { return name === "" ? {} : { terminal: name }; }

  // ---- The fleet page: every terminal as a tile, only those in view drawn ----

  const fleet = {
    all: new Map(),      // name -> {name, connected, shown, leds}
    order: [],           // names in the filter and sort now shown
    single: false,
    rendered: new Map(), // name -> tile element
    watched: "",
    filterSerial: 0,
  };

  function tileFor(t) {
    const el = document.createElement("div");
    el.className = "tile";
    el.dataset.terminal = t.name;
    el.innerHTML = `<div class="head"><span class="name"></span><span class="leds"><span class="led"></span>` +
      `<span class="led"></span><span class="led"></span><span class="led"></span></span><span class="state"></span></div>` +
      `<div class="screen"><div class="line" data-line="1"></div><div class="line" data-line="2"></div></div>`;
    el.querySelector(".name").textContent = t.name === "" ? "terminal" : t.name;
    el.addEventListener("click", () => { location.hash = hashFor(t.name); });
    fillTile(el, t);
    return el;
  }
  function fillTile(el, t) {
    const lines = t.shown || ["", ""];
    el.querySelector('[data-line="1"]').textContent = lines[0];
    el.querySelector('[data-line="2"]').textContent = lines[1];
    const leds = el.querySelectorAll(".led");
    (t.leds || []).forEach((c, i) => { if (leds[i]) leds[i].style.background = ledColour(c); });
    el.classList.toggle("disconnected", !t.connected);
    el.dataset.connected = t.connected ? "true" : "false";
    el.querySelector(".state").textContent = t.connected ? "connected" : "disconnected";
  }

  function updateCount() {
    const total = fleet.all.size;
    const shown = fleet.order.length;
    $("count").textContent = shown === total ? `${total} terminal${total === 1 ? "" : "s"}`
      : `${shown} of ${total} terminals`;
    $("count").dataset.total = String(total);
    $("count").dataset.shown = String(shown);
  }

  function sortOrder(names) {
    const how = $("sort").value;
    const cmp = (a, b) => (a < b ? -1 : a > b ? 1 : 0);
    if (how === "name-desc") names.sort((a, b) => cmp(b, a));
    else if (how === "disconnected") {
      names.sort((a, b) => {
        const ca = fleet.all.get(a)?.connected ? 1 : 0, cb = fleet.all.get(b)?.connected ? 1 : 0;
        return ca - cb || cmp(a, b);
      });
    } else names.sort(cmp);
    return names;
  }

  function layout() {
    const scroller = $("scroller");
    const cols = Math.max(1, Math.floor(scroller.clientWidth / TILE_W));
    const rows = Math.ceil(fleet.order.length / cols);
    $("sizer").style.height = `${rows * TILE_H}px`;
    const first = Math.max(0, Math.floor(scroller.scrollTop / TILE_H) - 1);
    const last = Math.min(rows, Math.ceil((scroller.scrollTop + scroller.clientHeight) / TILE_H) + 1);
    const want = new Map();
    for (let r = first; r < last; r++)
      for (let c = 0; c < cols; c++) {
        const i = r * cols + c;
        if (i >= fleet.order.length) break;
        want.set(fleet.order[i], [r, c]);
      }
    const grid = $("grid");
    for (const [name, el] of fleet.rendered)
      if (!want.has(name)) { el.remove(); fleet.rendered.delete(name); }
    for (const [name, [r, c]] of want) {
      let el = fleet.rendered.get(name);
      if (!el) {
        el = tileFor(fleet.all.get(name) || { name });
        fleet.rendered.set(name, el);
        grid.appendChild(el);
      }
      el.style.transform = `translate(${c * TILE_W}px, ${r * TILE_H}px)`;
    }
    scheduleWatch();
  }

  // The program sends events only of the tiles in view, merged per terminal.
  let watchTimer = null;
  function scheduleWatch() {
    clearTimeout(watchTimer);
    watchTimer = setTimeout(watchVisible, 60);
  }
  function watchVisible() {
    if (!link || link.access === null || currentPage() !== "fleet") return;
    const names = [...fleet.rendered.keys()].sort();
    const key = names.join("\n");
    if (key === fleet.watched) return;
    fleet.watched = key;
    const args = fleet.single ? {} : { terminals: names };
    link.request("subscribe", Object.assign({ events: ["fleet", "display", "leds", "connection"], merge_ms: MERGE_MS }, args))
      .catch(() => {});
    refreshVisible(names);
  }
  function refreshVisible(names) {
    if (names.length === 0) return;
    link.request("glance", fleet.single ? {} : { terminals: names }).then((ok) => {
      for (const t of ok.terminals) {
        fleet.all.set(t.name, t);
        const el = fleet.rendered.get(t.name);
        if (el) fillTile(el, t);
      }
    }, () => {});
  }

  function applyFilter() {
    const q = $("filter").value.trim();
    const serial = ++fleet.filterSerial;
    const done = (names) => {
      if (serial !== fleet.filterSerial) return;
      fleet.order = sortOrder(names);
      updateCount();
      layout();
    };
    if (q === "") { done([...fleet.all.keys()]); return; }
    const args = q.toLowerCase() === "disconnected" ? { connected: false, full: false } : { match: q, full: false };
    link.request("glance", args).then((ok) => done(ok.terminals.map((t) => t.name)), () => {});
  }
  let filterTimer = null;
  function filterSoon() { clearTimeout(filterTimer); filterTimer = setTimeout(applyFilter, 120); }

  function loadFleet() {
    fleet.watched = "";
    return link.request("glance", { full: false }).then((ok) => {
      const previous = fleet.all;
      fleet.all = new Map();
      for (const t of ok.terminals) fleet.all.set(t.name, Object.assign(previous.get(t.name) || {}, t));
      fleet.single = ok.terminals.length === 1;
      for (const [, el] of fleet.rendered) el.remove();
      fleet.rendered.clear();
      applyFilter();
      // A program that runs no terminal has none to send events of: the page looks again now and then.
      clearTimeout(fleet.emptyTimer);
      if (fleet.all.size === 0)
        fleet.emptyTimer = setTimeout(() => { if (currentPage() === "fleet" && link.access !== null) loadFleet(); }, 2000);
    });
  }

  // With one terminal the program names none in its events: they are that one's.
  function eventTerminal(ev) {
    if (ev.terminal !== undefined) return ev.terminal;
    return fleet.all.size === 1 ? fleet.all.keys().next().value : "";
  }

  function fleetEvent(ev) {
    const name = eventTerminal(ev);
    if (ev.event === "fleet") {
      if (ev.change === "added") fleet.all.set(ev.terminal, { name: ev.terminal, connected: false });
      else fleet.all.delete(ev.terminal);
      filterSoon();
      return;
    }
    const t = fleet.all.get(name);
    if (!t) return;
    if (ev.event === "display") t.shown = ev.shown;
    else if (ev.event === "leds") t.leds = ev.leds;
    else if (ev.event === "connection") t.connected = ev.state === "connected";
    else return;
    const el = fleet.rendered.get(name);
    if (el) fillTile(el, t);
  }

  // ---- The terminal page: one terminal as the main window shows it ----

  const KEY_ROWS = [
    ["1", "2", "3", "4", "5", "6", "7", "8", "9", "0", "Back"],
    ["Q", "W", "E", "R", "T", "Y", "U", "I", "O", "P", "Del"],
    ["A", "S", "D", "F", "G", "H", "J", "K", "L", ",", "Enter"],
    ["Z", "X", "C", "V", "B", "N", "M", "Space", null, ".", null],
  ];
  const CAPTIONS = { Back: "\u2190", Space: "Space", Del: "Del", Enter: "Enter" };

  function buildKeyboard() {
    const kb = $("keyboard");
    KEY_ROWS.forEach((row, r) => row.forEach((key, c) => {
      if (key === null) return;
      const b = document.createElement("button");
      b.type = "button";
      b.dataset.key = key;
      b.textContent = CAPTIONS[key] || key;
      b.style.gridRow = key === "Enter" ? `${r + 1} / span 2` : `${r + 1}`;
      b.style.gridColumn = key === "Space" ? `${c + 1} / span 2` : `${c + 1}`;
      b.addEventListener("click", () => act("key", { key }));
      kb.appendChild(b);
    }));
    const inputs = $("inputs");
    for (let i = 0; i < 4; i++) {
      const l = document.createElement("label");
      l.innerHTML = `<input type="checkbox" data-control="input" data-input="${i}"> Input ${i} `;
      l.querySelector("input").addEventListener("change", (e) => act("input", { n: i, on: e.target.checked }));
      inputs.appendChild(l);
    }
  }

  // What the window's PC keyboard does (Keyboard::keyForPcKey): letters,
  // digits, Backspace, Enter, Escape and Delete, space, comma, period, and the
  // keypad's decimal key as the comma.
  function keyForPcKey(e) {
    if (e.ctrlKey || e.altKey || e.metaKey) return null;
    if (/^[0-9]$/.test(e.key)) return e.key;
    if (/^[a-z]$/i.test(e.key)) return e.key.toUpperCase();
    switch (e.key) {
      case "Backspace": return "Back";
      case "Enter": return "Enter";
      case "Escape": case "Delete": return "Del";
      case " ": return "Space";
      case ",": return ",";
      case ".": return e.code === "NumpadDecimal" ? "," : ".";
      case "Decimal": return ",";
      default: return null;
    }
  }

  const term = { name: null, printerNext: 0, serialNext: 0, stateTimer: null };

  function act(cmd, args) {
    if (term.name === null) return;
    $("term-error").textContent = "";
    link.request(cmd, Object.assign(args, targetArgs(term.name))).then(() => refreshState(), (err) => {
      $("term-error").textContent = `${cmd}: ${err.message} (${err.code})`;
      refreshState();
    });
  }

  function showDisplay(shown) {
    $("display").querySelector('[data-line="1"]').textContent = shown[0];
    $("display").querySelector('[data-line="2"]').textContent = shown[1];
  }
  function showLeds(leds) {
    $("term-leds").querySelectorAll(".led").forEach((el, i) => { el.style.background = ledColour(leds[i]); });
  }
  function fillList(ol, items, next) {
    ol.textContent = "";
    items.forEach((item, i) => {
      const li = document.createElement("li");
      li.textContent = item;
      if (i === next) li.className = "next";
      ol.appendChild(li);
    });
  }
  function showConnection(c) {
    const role = c.role === "server" ? "TCP server" : c.role === "client" ? "TCP client" : "no role";
    $("connection").textContent = `${c.connected ? "Connected" : "Not connected"} · ${role}` +
      (c.protocol ? ` · ${c.protocol}` : "") + (c.comutadora ? " · Comutadora" : "");
    $("connection").dataset.connected = c.connected ? "true" : "false";
  }

  function refreshState() {
    if (term.name === null) return Promise.resolve();
    return link.request("state", targetArgs(term.name)).then((s) => {
      showDisplay(s.display.shown);
      showLeds(s.leds);
      document.querySelectorAll('[data-control="input"]').forEach((el) => { el.checked = !!s.inputs[+el.dataset.input]; });
      $("busy").checked = s.busy;
      $("cts").checked = s.cts;
      $("scale-on").checked = s.scale.on;
      fillList($("readings"), s.scale.readings, s.scale.next);
      if (s.barcode) fillList($("codes"), s.barcode.codes, s.barcode.next);
      $("playback-mode").textContent = s.playback.mode === "idle" ? "" : `(${s.playback.mode})`;
      showConnection(s.connection);
    }, (err) => { $("term-error").textContent = `${err.message}`; });
  }

  function appendLog(which, line) {
    const pre = $(`${which}-log`);
    const atEnd = pre.scrollTop + pre.clientHeight >= pre.scrollHeight - 4;
    const lines = pre.textContent === "" ? [] : pre.textContent.split("\n");
    lines.push(line);
    pre.textContent = lines.slice(-LOG_LINES).join("\n");
    if (atEnd) pre.scrollTop = pre.scrollHeight;
  }
  function loadLog(which) {
    return link.request("log", Object.assign({ which }, targetArgs(term.name))).then((ok) => {
      $(`${which}-log`).textContent = ok.lines.slice(-LOG_LINES).join("\n");
      term[`${which}Next`] = ok.next;
    }, () => {});
  }

  function openTerminal(name) {
    term.name = name;
    $("term-name").textContent = name === "" ? "Terminal" : name;
    $("term-error").textContent = "";
    document.title = `${name || "Terminal"} · Ethernet`;
    const args = name === "" ? {} : { terminals: [name] };
    link.request("subscribe", Object.assign({ events: ["display", "leds", "connection", "printer", "serial", "fleet"],
      merge_ms: 0 }, args)).catch(() => {});
    refreshState();
    loadLog("printer");
    loadLog("serial");
    clearInterval(term.stateTimer);
    // Inputs, Busy, CTS and the scale have no events: the page looks again each second.
    term.stateTimer = setInterval(refreshState, 1000);
  }

  function terminalEvent(ev) {
    if (ev.event === "fleet") {
      if (ev.change === "removed" && ev.terminal === term.name) $("term-error").textContent = "This terminal was removed.";
      return;
    }
    if (ev.terminal !== undefined && ev.terminal !== term.name) return;
    if (ev.event === "display") showDisplay(ev.shown);
    else if (ev.event === "leds") showLeds(ev.leds);
    else if (ev.event === "connection") refreshState();
    else if (ev.event === "printer" || ev.event === "serial") {
      if (ev.index >= term[`${ev.event}Next`]) { appendLog(ev.event, ev.line); term[`${ev.event}Next`] = ev.index + 1; }
    }
  }

  // ---- Pages and the link's state ----

  let link = null;
  function currentPage() { return route().terminal === null ? "fleet" : "terminal"; }

  function show() {
    if (!link || link.access === null) return;
    const page = currentPage();
    $("fleet-page").hidden = page !== "fleet";
    $("terminal-page").hidden = page !== "terminal";
    $("filter").disabled = page !== "fleet";
    $("home").href = hashFor(null);
    $("back").href = hashFor(null);
    clearInterval(term.stateTimer);
    if (page === "terminal") {
      openTerminal(route().terminal);
    } else {
      term.name = null;
      document.title = "Ethernet terminals";
      loadFleet().then(() => {
        // A program of one terminal opens on it, once; "all terminals" still leads back here.
        if (fleet.single && !fleet.openedSingle) {
          fleet.openedSingle = true;
          location.hash = hashFor(fleet.all.keys().next().value);
        }
      }, () => {});
    }
  }

  function linkState(state, detail) {
    const el = $("link");
    if (state === "up") {
      el.textContent = "live";
      el.className = "link-state up";
      $("access").textContent = link.access === "view" ? "view only" : "operating";
      document.body.classList.toggle("viewer", link.access === "view");
      document.querySelectorAll("[data-control], .keyboard button").forEach((b) => { b.disabled = link.access === "view"; });
      showBanner(detail ? "Reconnected to the program." : "");
      if (detail) setTimeout(() => { if ($("banner").textContent === "Reconnected to the program.") showBanner(""); }, 3000);
      show();
    } else if (state === "down") {
      link.access = null;
      el.textContent = "offline";
      el.className = "link-state down";
      const why = link.refusal ? `The program does not take this link (${link.refusal.message})`
        : "The connection to the program is lost";
      showBanner(`${why}; trying again in ${(detail / 1000).toFixed(1)} s…`, true);
    } else if (state === "refused") {
      el.textContent = "refused";
      el.className = "link-state down";
      showBanner(`The program does not take this link: ${detail.message}`, true);
    }
  }

  function start() {
    const r = route();
    buildKeyboard();
    if (!r.token) {
      showBanner("This page needs the link the program printed (…/#operate=TOKEN or …/#view=TOKEN).", true);
      return;
    }
    link = new Link(r.token, (ev) => {
      if (ev.event === "dropped") {
        // The program left events out while this page read too slowly: look again.
        if (currentPage() === "fleet") refreshVisible([...fleet.rendered.keys()]); else refreshState();
        return;
      }
      if (currentPage() === "fleet") fleetEvent(ev); else terminalEvent(ev);
    }, linkState);
    $("scroller").addEventListener("scroll", () => requestAnimationFrame(layout), { passive: true });
    window.addEventListener("resize", () => requestAnimationFrame(layout));
    $("filter").addEventListener("input", filterSoon);
    $("sort").addEventListener("change", applyFilter);
    window.addEventListener("hashchange", show);
    $("busy").addEventListener("change", (e) => act("busy", { on: e.target.checked }));
    $("cts").addEventListener("change", (e) => act("cts", { on: e.target.checked }));
    $("scale-on").addEventListener("change", (e) => act("scale", { on: e.target.checked }));
    $("set-readings").addEventListener("click", () =>
      act("scale", { readings: $("readings-edit").value.split("\n").filter((l) => l !== "") }));
    $("barcode").addEventListener("click", () => act("barcode", {}));
    $("send-code").addEventListener("click", () => act("barcode", { code: $("code").value }));
    $("reset").addEventListener("click", () => act("reset", {}));
    $("playback").addEventListener("click", () =>
      act("playback", { on: $("playback-mode").textContent === "" }));
    document.addEventListener("keydown", (e) => {
      if (currentPage() !== "terminal" || link.access !== "operate") return;
      if (e.target.closest && e.target.closest("input, textarea, select")) return;
      const key = keyForPcKey(e);
      if (key === null) return;
      e.preventDefault();
      const b = document.querySelector(`.keyboard [data-key="${CSS.escape(key)}"]`);
      if (b) { b.classList.add("pressed"); setTimeout(() => b.classList.remove("pressed"), 120); }
      act("key", { key });
    });
    link.connect();
    // For scripts that drive the page: the same requests the page sends.
    window.ethernetConsole = { request: (cmd, args) => link.request(cmd, args || {}) };
  }

  document.addEventListener("DOMContentLoaded", start);
})();
