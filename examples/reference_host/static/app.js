// Ombrel's chat page: plain JavaScript over the gateway's "/ws" route.
//
// The page keeps two WebSocket connections. The gateway reads one
// connection's commands one after another, so a running chat turn holds its
// connection: chat messages go on the "chat" socket, everything else
// (approvals, stop, heartbeat) on the "control" socket, which stays free
// while a turn runs. Broadcasts reach both sockets; the chat socket leaves
// them to the control socket.
//
// Conversations: the host keeps a current conversation for each
// connection, and files a connection's chat messages into it. The page's
// conversation commands (new, resume) therefore go on the chat socket too,
// in order with its messages, and the page names the conversation it shows
// in its address (#c-...). Whenever the chat socket (re)connects, the page
// tells the host again which conversation it shows, and sends nothing
// before the host has answered: the page and the host always agree.
//
// Answers are Markdown: the host renders them to sanitised HTML
// (POST /api/render); that HTML is the only HTML the page inserts.
//
// Access: the app prints its address with a token
// (http://127.0.0.1:8765/?token=...). The page keeps the token for its tab
// (sessionStorage), takes it out of the address bar, and shows it on every
// WebSocket handshake ("token" query parameter) and on its own requests
// (Authorization: Bearer); the app answers those with a cookie, which the
// pictures and file links the page shows carry. A tab opened without the
// token gets it with that cookie (GET /api/token).
//
// Sessions: each of the two connections is a session of the gateway, whose
// events are numbered ("seq"). The page keeps each session and the last
// number it handled (sessionStorage, per tab), and a connection that comes
// back (a reload, a lost connection) names them, so that it gets what it
// missed. A reloaded page has lost the turn it was showing, so while a turn
// runs the chat connection comes back from the number before that turn
// began: the stored conversation is shown without that turn, and the
// replayed events rebuild it, once and in order. The gateway gives a
// session back only once its connection has ended, and a connection that
// runs a turn ends with its turn: a page that comes back while the turn
// still runs shows what the conversation holds so far and shows the whole
// answer once the turn is over.
"use strict";

const $ = (id) => document.getElementById(id);
const log = $("log");
const BROADCAST_ONLY = new Set(["heartbeat", "heartbeat_paused", "heartbeat_skipped", "heartbeat_status",
                                "approval_resolved", "approval_expired", "conversations_changed"]);
const EXAMPLES = ["help", "snapshot", "screenshot", "windows", "skills",
                  'run skill visit_counter {"who": "me"}', 'run skill write_report {"title": "Notes"}',
                  'run skill browse_page {"name": "Ada"}', 'run skill shell_command {"command": "uname -a"}',
                  "count 20"];
const MODES = {standard: ["Standard agent", "answers with its tools and skills"],
               computer_use: ["Computer-use agent", "works on the screen through screenshots"]};
const CONVERSATION_ID = /^c-[0-9a-f]{12}$/;
const MIN_INTERVAL = 1;         // seconds: the host refuses shorter heartbeat intervals
const WELCOME = "Ask Ombrel something, or try one of the examples below.";

const sockets = {chat: null, control: null};
const sessions = {chat: null, control: null};  // {session, seq}: each connection's session and the last event handled
const approvals = new Map();    // approval_id -> card
let turn = null;                // the chat turn being shown: {box, bubble, user, live, ...}
let beatItem = null;            // the heartbeat beat whose answer is streaming
let conversation = CONVERSATION_ID.test(location.hash.slice(1)) ? location.hash.slice(1) : null;
let chatReady = false;          // the host has answered which conversation the chat socket writes to
let startingText = WELCOME;     // shown when the awaited "conversation_started" comes
let retryDelay = 500;
let token = null;               // the app's access token
let refusedAccess = false;      // the app refused the token: nothing more to try
let maxMessage = 256 * 1024;    // characters a message may have (from /api/info)
let pending = null;             // the chat turn under way: {session, seq, content, conversation, time}
let replayed = null;            // a resumed turn's events, kept until its conversation is shown
let awaited = null;             // a turn still running in a session the page could not resume
let heartbeatAsked = [];        // the heartbeat commands sent on the control socket, oldest first, each awaiting its answer

// ---- small helpers

// What the page keeps for its tab, as JSON under "ombrel.<key>".
const kept = {
  get(key) {
    try { return JSON.parse(sessionStorage.getItem("ombrel." + key)); } catch { return null; }
  },
  set(key, value) {
    try {
      if (value === null || value === undefined) sessionStorage.removeItem("ombrel." + key);
      else sessionStorage.setItem("ombrel." + key, JSON.stringify(value));
    } catch { /* storage unavailable: the page works without */ }
  },
};

function el(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  return node;
}

// The log follows what comes in, unless the person scrolled up to read.
let following = true;
log.addEventListener("scroll", () => { following = log.scrollHeight - log.scrollTop - log.clientHeight < 40; });
function scrollDown() { log.scrollTop = log.scrollHeight; }
function keepFollowing() { if (following) scrollDown(); }

function append(node, parent = turn ? turn.box : log) {
  log.querySelector(".empty")?.remove();
  parent.appendChild(node);
  keepFollowing();
  return node;
}

// A snapshot's text: each state ("[focused]", ...) as a small badge, the
// bounds ("@x,y,w,h") dimmed, the rest as it is.
const DETAIL = / \[(focused|checked|selected|expanded|disabled|offscreen)\]| @(-?\d+,-?\d+,\d+,\d+)$/g;

function snapshotView(text) {
  const pre = el("pre", "snapshot");
  text.split("\n").forEach((line, i) => {
    if (i) pre.appendChild(document.createTextNode("\n"));
    let at = 0;
    for (const found of line.matchAll(DETAIL)) {
      pre.appendChild(document.createTextNode(line.slice(at, found.index) + " "));
      pre.appendChild(found[1] ? el("span", "badge " + found[1], found[1]) : el("span", "bounds", "@" + found[2]));
      at = found.index + found[0].length;
    }
    pre.appendChild(document.createTextNode(line.slice(at)));
  });
  return pre;
}

function short(value, limit = 120) {
  const text = typeof value === "string" ? value : JSON.stringify(value);
  return text && text.length > limit ? text.slice(0, limit) + "…" : (text ?? "");
}

function timeOf(when, seconds = false) {
  const date = when instanceof Date ? when : new Date(when * 1000);
  const node = el("time", "", date.toLocaleTimeString([], {hour: "2-digit", minute: "2-digit",
                                                           second: seconds ? "2-digit" : undefined}));
  node.dateTime = date.toISOString();
  node.title = date.toLocaleString();
  return node;
}

function send(command, via = "control") {
  const socket = sockets[via];
  if (!socket || socket.readyState !== WebSocket.OPEN) {
    append(el("div", "error", "Not connected to the server: the page reconnects by itself, try again in a moment."));
    return false;
  }
  const frame = JSON.stringify(command);
  if (frame.length > maxMessage) {
    append(el("div", "error", `This message is too long to send: ${frame.length} characters, at most ${maxMessage}.`), log);
    return false;
  }
  socket.send(frame);
  return true;
}

function authorization() {
  return token ? {Authorization: "Bearer " + token} : {};
}

async function fetchJSON(path, options = {}) {
  const response = await fetch(path, {...options, headers: {...authorization(), ...options.headers}});
  if (!response.ok) {
    let detail = "";
    try { detail = (await response.json()).detail; } catch { }
    throw new Error(typeof detail === "string" && detail ? detail : `${path}: ${response.status}`);
  }
  return response.json();
}

function sendJSON(path, method, body) {
  return fetchJSON(path, {method, headers: {"Content-Type": "application/json"},
                          body: body === undefined ? undefined : JSON.stringify(body)});
}

async function copy(text, button) {
  let copied = false;
  try {
    await navigator.clipboard.writeText(text);
    copied = true;
  } catch {  // no clipboard API (a page not served from a secure origin)
    const area = document.body.appendChild(el("textarea"));
    area.value = text;
    area.style.position = "fixed";
    area.style.opacity = "0";
    area.select();
    try { copied = document.execCommand("copy"); } catch { }
    area.remove();
  }
  button.textContent = copied ? "Copied" : "Copy failed";
  setTimeout(() => { button.textContent = "Copy"; }, 1500);
}

function copyButton(text) {
  const button = el("button", "copy", "Copy");
  button.type = "button";
  button.onclick = () => copy(typeof text === "function" ? text() : text, button);
  return button;
}

// ---- Markdown, rendered by the host

const toRender = new Set();
let renderTimer = null;

function renderSoon(bubble) {
  toRender.add(bubble);
  if (!renderTimer) renderTimer = setTimeout(renderPending, 250);
}

function renderPending() {
  clearTimeout(renderTimer);
  renderTimer = null;
  const bubbles = [...toRender];
  toRender.clear();
  return render(bubbles);
}

// Replaces the bubbles' text by its rendering. A bubble whose text grew in
// the meantime keeps the new part as text until the next rendering.
async function render(bubbles) {
  bubbles = bubbles.filter((b) => b.text && b.rendered < b.text.length);
  for (let start = 0; start < bubbles.length; start += 100) {
    const batch = bubbles.slice(start, start + 100);
    const texts = batch.map((b) => b.text);
    let html;
    try { html = (await sendJSON("/api/render", "POST", {texts})).html; } catch { continue; }  // stays text
    batch.forEach((bubble, i) => {
      if (texts[i].length <= bubble.rendered) return;  // a later rendering came first
      bubble.md.innerHTML = html[i];
      decorate(bubble.md);
      bubble.rendered = texts[i].length;
      bubble.tail.textContent = bubble.text.slice(bubble.rendered);
      bubble.classList.toggle("rendered", bubble.rendered === bubble.text.length);
    });
    keepFollowing();
  }
}

// Code blocks get their language and a copy button; a desktop snapshot's
// block shows its details as badges.
function decorate(node) {
  for (let pre of node.querySelectorAll("pre")) {
    const code = pre.querySelector("code");
    if ((code || pre).textContent.startsWith("Window: ")) {
      const view = snapshotView((code || pre).textContent.replace(/\n$/, ""));
      pre.replaceWith(view);
      pre = view;
    }
    const language = (code?.className.match(/language-(\S+)/) || [])[1] || "";
    const box = el("div", "code");
    const head = box.appendChild(el("div", "code-head"));
    head.appendChild(el("span", "", language));
    head.appendChild(copyButton(() => (code || pre).textContent));
    pre.replaceWith(box);
    box.appendChild(pre);
  }
}

// ---- access

// The token: from the address (which then loses it), else the one this tab
// kept, else the one that the app's cookie stands for.
async function findToken() {
  const params = new URLSearchParams(location.search);
  if (params.has("token")) {
    kept.set("token", params.get("token"));
    params.delete("token");
    const query = params.toString();
    history.replaceState(null, "", location.pathname + (query ? "?" + query : "") + location.hash);
  }
  token = kept.get("token");
  if (!token) {
    try {
      token = (await fetchJSON("/api/token")).token;
      kept.set("token", token);
    } catch { /* no cookie either */ }
  }
}

// The app's information, asked with the page's token: "ok", "refused" (a
// wrong token or none) or "unreachable".
async function refreshInfo() {
  let info;
  try {
    const response = await fetch("/api/info", {headers: authorization()});
    if (response.status === 403) return "refused";
    if (!response.ok) return "unreachable";
    info = await response.json();
  } catch { return "unreachable"; }
  const badge = $("agent-mode");
  badge.textContent = info.mode === "model" ? `model: ${info.model}` : "offline agent";
  badge.title = info.display === "available" ? "Desktop available" : info.display;
  badge.className = "badge " + (info.mode === "model" ? "good" : "");
  if (info.max_message_size) maxMessage = info.max_message_size;
  return "ok";
}

// The app refused the page's token (or it has none): say what to do, and
// stop trying.
function refuse() {
  if (refusedAccess) return;
  refusedAccess = true;
  const hadToken = Boolean(token);
  token = null;
  kept.set("token", null);
  for (const name of Object.keys(sockets)) {
    const socket = sockets[name];
    sockets[name] = null;
    socket?.close();
  }
  const badge = $("connection");
  badge.textContent = "no access";
  badge.className = "badge bad";
  chatReady = false;
  updateControls();
  log.textContent = "";
  const box = log.appendChild(el("div", "error access"));
  box.appendChild(el("strong", "", hadToken ? "The app refused this page's access token."
                                            : "This page needs the app's access token."));
  // Text, with the parts in backquotes as code.
  const paragraph = (text) => {
    const node = box.appendChild(el("p"));
    text.split("`").forEach((part, i) => node.appendChild(i % 2 ? el("code", "", part) : document.createTextNode(part)));
  };
  paragraph(`Open the address that the app printed when it started: \`${location.origin}/?token=…\``);
  paragraph("The app makes a new token each time it starts, unless it is given one (`--token`, or " +
            "`OMBREL_TOKEN`): then add `?token=` and that token to this address.");
}

// ---- connection

// The gateway's address for connection `name`, resuming its session. A turn
// under way is asked for again from before it began (see the top of this file).
function socketAddress(name, resume) {
  const params = new URLSearchParams({token});
  if (resume?.session) {
    params.set("session", resume.session);
    params.set("last_seq", String(resume.seq));
  }
  return `${location.protocol === "https:" ? "wss" : "ws"}://${location.host}/ws?${params}`;
}

function connect(name) {
  if (refusedAccess) return;
  const resume = name === "chat" && pending ? pending : sessions[name];
  const socket = new WebSocket(socketAddress(name, resume));
  sockets[name] = socket;
  let opened = false;
  socket.onopen = () => {
    opened = true;
    if (name === "chat") tellConversation();
    if (sockets.chat?.readyState === WebSocket.OPEN && sockets.control?.readyState === WebSocket.OPEN) connected();
  };
  socket.onmessage = (message) => {
    let event;
    try { event = JSON.parse(message.data); } catch { return; }
    if (event.type === "session") return greeted(name, event, resume);
    receive(event, name);
    if (Number.isInteger(event.seq) && sessions[name]) {
      sessions[name].seq = event.seq;
      kept.set(name, sessions[name]);
    }
  };
  socket.onclose = async (closing) => {
    if (sockets[name] !== socket) return;
    sockets[name] = null;
    disconnected(name, closing);
    // A handshake that failed: a refused token, or no server.
    if (!opened && await refreshInfo() === "refused") return refuse();
    if (refusedAccess) return;
    setTimeout(() => connect(name), retryDelay);
    retryDelay = Math.min(retryDelay * 2, 5000);
  };
}

// A connection's first event: its session, the one it asked for or a new one.
function greeted(name, event, resume) {
  sessions[name] = {session: event.session, seq: event.resumed ? resume.seq : 0};
  kept.set(name, sessions[name]);
  // A turn under way whose every event came back is rebuilt from them.
  if (name === "chat") {
    replayed = pending && event.resumed && event.session === pending.session && !event.lost ? [] : null;
  }
}

function receive(event, name) {
  if (name === "chat") {
    // Broadcasts, and the approvals sent again to a new connection, are the control connection's.
    if (BROADCAST_ONLY.has(event.type) || event.source === "heartbeat" || event.resent) return;
    if (replayed && event.type !== "conversation_resumed") {
      replayed.push(event);
      return;
    }
  }
  show(event, name);
}

// A new chat connection has no conversation on the host: name ours, or start one.
function tellConversation() {
  if (!conversation && pending) conversation = pending.conversation;
  if (conversation) switchTo({type: "resume_conversation", conversation_id: conversation});
  else switchTo({type: "new_conversation"}, startingText);
}

function connected() {
  retryDelay = 500;
  const badge = $("connection");
  badge.textContent = "connected";
  badge.className = "badge good";
  heartbeatAsked = [];           // a new connection answers only what it is asked
  heartbeatControl("status");
  refreshInfo();
  refreshApprovals();
  refreshConversations();
  updateControls();
}

// The gateway says why it ended a connection itself.
const CLOSE_REASONS = new Set([1007, 1008, 1009, 1011]);

function disconnected(name, closing) {
  if (name === "chat") {
    chatReady = false;
    replayed = null;
  }
  if (CLOSE_REASONS.has(closing.code) && closing.reason) {
    append(el("div", "error", `The server closed the connection: ${closing.reason}.`), log);
  }
  if (name === "chat" && turn?.live) {
    append(el("div", "error", "The connection to the server was lost; this answer is incomplete."));
    endTurn(false);  // it may go on on the server: asked for again on reconnecting
  }
  updateControls();
  const badge = $("connection");
  if (badge.classList.contains("bad")) return;
  badge.textContent = "reconnecting…";
  badge.className = "badge bad";
}

// Whether a turn runs: one shown live, or one awaited.
function running() {
  return Boolean(turn?.live || awaited);
}

function updateControls() {
  $("send").disabled = running() || !chatReady;
  $("new-conversation").disabled = running() || refusedAccess;
  $("conversations").classList.toggle("busy", running());
  $("stop").hidden = !running();
}

async function refreshApprovals() {
  try {
    for (const request of await fetchJSON("/api/approvals")) showApproval(request);
  } catch { }
}

// ---- conversations

function setAddress() {
  history.replaceState(null, "", conversation ? "#" + conversation : location.pathname + location.search);
}

// Switches the chat socket's conversation; sending waits for the host's answer.
function switchTo(command, text) {
  if (text !== undefined) startingText = text;
  chatReady = false;
  updateControls();
  if (!send(command, "chat")) return false;
  setMenu(false);
  return true;
}

let listTimer = null;
function refreshConversations() {
  clearTimeout(listTimer);
  listTimer = setTimeout(loadConversations, 50);
}

async function loadConversations() {
  let data;
  try { data = await fetchJSON("/api/conversations"); } catch { return; }
  checkAwaited(data.conversations);
  showConversations(data.conversations);
}

// A turn under way that the page could not resume: the conversation is
// shown as stored, its turn left open with a notice, until the turn is over
// ("busy" no more); then the conversation is shown again, whole.
function checkAwaited(conversations) {
  if (!awaited) return;
  const entry = conversations.find((c) => c.id === awaited.conversation);
  if (entry?.busy) {
    if (!awaited.notice) {
      awaited.notice = append(el("div", "notice", `The answer to “${short(awaited.content, 60)}” is still being ` +
                                                  "written: it appears here in full when it is finished."),
                              awaited.box || log);
    }
    return;
  }
  awaited = null;
  forgetPending();
  updateControls();
  switchTo({type: "resume_conversation", conversation_id: conversation});
}

function showConversations(conversations) {
  const list = $("conversations");
  if (list.querySelector("input")) return;  // being renamed: refreshed when done
  list.textContent = "";
  if (conversation && !conversations.some((c) => c.id === conversation)) {
    list.appendChild(el("li", "active fresh", "(new conversation)")).dataset.id = conversation;
  }
  for (const c of conversations) {
    const item = list.appendChild(el("li", c.id === conversation ? "active" : ""));
    item.dataset.id = c.id;
    item.title = `${c.title || c.id} — ${new Date(c.updated * 1000).toLocaleString()}`;
    const title = item.appendChild(el("span", "title", c.title || "(untitled)"));
    item.appendChild(el("small", "", String(c.count)));
    const rename = item.appendChild(el("button", "rename", "✎"));
    rename.type = "button";
    rename.title = "Rename";
    rename.onclick = (e) => { e.stopPropagation(); renameConversation(item, title, c); };
    const remove = item.appendChild(el("button", "delete", "×"));
    remove.type = "button";
    remove.title = "Delete";
    remove.onclick = (e) => { e.stopPropagation(); deleteConversation(c); };
    item.onclick = () => {
      if (running() || c.id === conversation) return;
      switchTo({type: "resume_conversation", conversation_id: c.id});
    };
  }
  if (!list.children.length) list.appendChild(el("li", "muted", "No conversations yet"));
}

function renameConversation(item, title, c) {
  const input = el("input");
  input.value = c.title;
  input.setAttribute("aria-label", "conversation title");
  title.replaceWith(input);
  input.focus();
  input.select();
  let done = false;
  const finish = async (save) => {
    if (done) return;
    done = true;
    const text = input.value.trim();
    input.replaceWith(title);
    if (save && text && text !== c.title) {
      try {
        showConversations((await sendJSON(`/api/conversations/${encodeURIComponent(c.id)}`, "PATCH", {title: text})).conversations);
        return;
      } catch (error) { append(el("div", "error", `Could not rename the conversation: ${error.message}`), log); }
    }
    refreshConversations();
  };
  input.onclick = (e) => e.stopPropagation();
  input.onkeydown = (e) => {
    if (e.key === "Enter") { e.preventDefault(); finish(true); }
    if (e.key === "Escape") { e.preventDefault(); e.stopPropagation(); finish(false); }
  };
  input.onblur = () => finish(true);
}

async function deleteConversation(c) {
  if (!confirm(`Delete “${c.title || "(untitled)"}” and its messages?`)) return;
  try {
    showConversations((await sendJSON(`/api/conversations/${encodeURIComponent(c.id)}`, "DELETE")).conversations);
  } catch (error) {
    append(el("div", "error", `Could not delete the conversation: ${error.message}`), turn?.live ? turn.box : log);
  }
}

function conversationsChanged(event) {
  if (event.deleted && event.conversation_id === conversation && !running()) {
    conversation = null;
    setAddress();
    switchTo({type: "new_conversation"}, "This conversation was deleted. Say something to start a new one.");
  }
  refreshConversations();
}

// ---- chat turns

// The user's message and the box that the turn's events go into.
function beginTurn(content, when, mode, live) {
  append(el("div", "user"), log).appendChild(el("div", "", content));
  const meta = append(el("div", "meta user-meta"), log);
  meta.appendChild(timeOf(when));
  turn = {box: append(el("div", "turn"), log), bubble: null, bubbles: [], meta, live,
          standard: true, waiting: new Set()};
  if (mode === "computer_use") markComputerUse();
}

function markComputerUse() {
  turn.standard = false;
  if (!turn.meta.querySelector(".tag")) turn.meta.appendChild(el("span", "tag", "computer use"));
}

// The turn's end: its time and a button that copies the answer.
function closeTurn(when) {
  if (!turn) return;
  const meta = turn.box.appendChild(el("div", "meta"));
  meta.appendChild(timeOf(when));
  const bubbles = turn.bubbles;
  if (bubbles.length) meta.appendChild(copyButton(() => bubbles.map((b) => b.text).join("\n\n")));
  turn = null;
}

// A turn the person started: remembered for the tab until it ends, with the
// number of the last event before it, from which a reloaded page asks for it.
function startTurn(content) {
  pending = {session: sessions.chat?.session, seq: sessions.chat?.seq ?? 0, content, conversation,
             time: Date.now() / 1000};
  kept.set("pending", pending);
  following = true;
  beginTurn(content, new Date(), null, true);
  updateControls();
}

function endTurn(finished = true) {
  for (const bubble of turn ? turn.bubbles : []) toRender.add(bubble);
  closeTurn(new Date());
  renderPending();
  if (finished) forgetPending();
  updateControls();
}

function forgetPending() {
  pending = null;
  kept.set("pending", null);
}

function say(content, live = true) {
  if (!turn) turn = {box: append(el("div", "turn"), log), bubble: null, bubbles: [], live: false, waiting: new Set()};
  if (!turn.bubble) {
    const bubble = turn.bubble = append(el("div", "bubble"));
    bubble.text = "";
    bubble.rendered = 0;
    bubble.md = bubble.appendChild(el("div", "md"));
    bubble.tail = bubble.appendChild(el("div", "tail"));
    turn.bubbles.push(bubble);
  }
  const bubble = turn.bubble;
  bubble.text += content;
  bubble.tail.textContent = bubble.text.slice(bubble.rendered);
  bubble.classList.remove("rendered");
  if (live) renderSoon(bubble);
  keepFollowing();
}

function step(summary, body, failed = false) {
  if (turn) turn.bubble = null;
  const details = el("details", "step " + (failed ? "failed" : "ok"));
  details.appendChild(el("summary", "", summary));
  if (body !== undefined && body !== null && body !== "") {
    details.appendChild(typeof body === "string" ? el("pre", "", body) : body);
  }
  return append(details);
}

function picture(src, caption) {
  if (turn) turn.bubble = null;
  const img = el("img", "shot");
  img.alt = caption || "screenshot";
  img.onload = keepFollowing;
  img.src = src;
  img.onclick = () => window.open(img.src, "_blank");
  return append(img);
}

// Links to the files a skill wrote; their pictures go to `pictures`.
function fileLinks(paths, pictures = []) {
  const box = el("div");
  for (const path of paths || []) {
    const parts = path.split(/[\\/]/);
    const link = el("a", "", parts[parts.length - 1]);
    link.href = `/files/${encodeURIComponent(parts[parts.length - 2])}/${encodeURIComponent(parts[parts.length - 1])}`;
    link.target = "_blank";
    box.appendChild(document.createTextNode("↓ "));
    box.appendChild(link);
    box.appendChild(document.createTextNode(" "));
    if (/\.(png|jpe?g|gif|webp)$/i.test(link.textContent)) pictures.push(link.href);
  }
  return box;
}

function toolResult(event) {
  if (event.screenshot) {
    step(`▣ ${event.tool}: ${event.result || "screenshot"}`);
    const src = event.image_base64 ? "data:image/png;base64," + event.image_base64 : event.image_url;
    if (src) picture(src, event.tool);
    return;
  }
  const failed = event.error === true || (typeof event.error === "string" && event.error) || event.success === false;
  const result = event.result;
  const stale = failed && result && result.stale === true;   // a ref whose element changed
  const label = stale ? `⟳ ${event.tool}: stale ref [${result.ref}], take a new snapshot`
              : failed ? `✗ ${event.tool}: ${short(typeof event.error === "string" ? event.error : result)}`
                       : `✓ ${event.tool}: ${short(result && typeof result === "object" ? summaryOf(result) : result)}`;
  const body = el("div");
  const pictures = [];
  if (result && typeof result.snapshot === "string") body.appendChild(snapshotView(result.snapshot));
  body.appendChild(el("pre", "", typeof result === "string" ? result : JSON.stringify(result, null, 2)));
  const shown = step(label, body, failed);
  if (stale) shown.classList.add("stale");
  if (result && result.output_files?.length) append(fileLinks(result.output_files, pictures)).className = "step";
  for (const src of pictures) picture(src, "a picture the skill saved");
}

function summaryOf(result) {
  if (result.skill_name) return `${result.skill_name} ${result.success === false ? "failed" : "done"} in ${result.duration_seconds} s`;
  if (result.window !== undefined && result.element_count !== undefined) return `${result.window} (${result.element_count} elements)`;
  if (result.window !== undefined) return String(result.window);
  const {success, ...rest} = result;
  return rest;
}

// ---- approvals

function showApproval(event) {
  if (approvals.has(event.approval_id)) return;
  const card = el("div", "approval");
  card.appendChild(el("strong", "", "Approval needed"));
  card.appendChild(el("span", "", event.reason || `The agent wants to use ${event.tool}`));
  card.appendChild(el("code", "", `${event.tool} ${JSON.stringify(event.arguments || {})}`));
  const actions = card.appendChild(el("span", "actions"));
  for (const approved of [true, false]) {
    const button = actions.appendChild(el("button", approved ? "approve" : "reject", approved ? "Approve" : "Reject"));
    button.type = "button";
    button.onclick = () => {
      if (send({type: "approve", approval_id: event.approval_id, approved})) {
        for (const b of actions.querySelectorAll("button")) b.disabled = true;
      }
    };
  }
  approvals.set(event.approval_id, card);
  $("approvals").appendChild(card);
}

function resolveApproval(id, text) {
  const card = approvals.get(id);
  if (!card || card.classList.contains("resolved")) return;
  card.classList.add("resolved");
  card.querySelector(".actions").replaceWith(el("span", "actions", text));
  setTimeout(() => card.remove(), 8000);
}

// ---- heartbeat

function heartbeatStatus(event) {
  const state = event.status === "running" && event.paused ? "paused" : event.status;
  const badge = $("hb-state");
  badge.textContent = state;
  badge.className = "badge " + (state === "running" ? "good" : state === "paused" ? "warn" : "");
  if (event.interval !== undefined && document.activeElement !== $("hb-interval")) $("hb-interval").value = event.interval;
  if (event.beats !== undefined) $("hb-count").textContent = `· ${event.beats}/${event.max} beats`;
}

// A line of the heartbeat's list, newest first: a beat (with its answer
// below it), a skipped beat or a pause.
function beat(text, className) {
  const line = el("li", className);
  line.appendChild(el("span", "", text));
  line.appendChild(timeOf(new Date(), true));
  $("beats").prepend(line);
  while ($("beats").children.length > 30) $("beats").lastChild.remove();
  return line;
}

function heartbeatReply(event) {
  if (event.type === "text") {
    if (!beatItem) beatItem = beat("♥ beat", "beat");
    if (!beatItem.answer) beatItem.answer = beatItem.appendChild(el("div", "answer", "→ "));
    beatItem.answer.textContent += event.content;
  } else if (event.type === "done") {
    beatItem = null;
  } else if (event.type === "error") {
    beat("✗ " + event.message, "paused");
  }
}

function heartbeatMessage(text) {
  $("hb-message").textContent = text;
  $("hb-message").hidden = !text;
}

// ---- every event

function show(event, via) {
  if (event.source === "heartbeat") return heartbeatReply(event);
  const live = via === "chat" && turn?.live;
  switch (event.type) {
    case "mode": {
      const [label, what] = MODES[event.mode] || [String(event.mode), ""];
      const banner = $("banner");
      banner.hidden = false;
      banner.className = event.mode;
      banner.textContent = "";
      banner.appendChild(el("strong", "", label));
      if (what) banner.appendChild(el("span", "muted", " · " + what));
      if (live && event.mode === "computer_use") markComputerUse();
      break;
    }
    case "text": say(event.content ?? "", via !== "replay"); break;
    case "thinking": step(`… ${event.content ?? event.message ?? ""}`); break;
    case "iteration": step(`↻ iteration ${event.number} of ${event.max}`); break;
    case "tool_call": step(`⚙ ${event.tool} ${short(event.arguments, 80)}`, JSON.stringify(event.arguments, null, 2)); break;
    case "tool_result": toolResult(event); break;
    case "tool_approval_needed":
      // Cards come from the control socket, which every request reaches
      // (broadcast, or sent again to a new connection) and which hears their ends.
      if (via === "control") showApproval(event);
      // It comes twice on the chat socket: the turn's own event and the broadcast.
      if (live && !turn.waiting.has(event.approval_id)) {
        turn.waiting.add(event.approval_id);
        append(el("div", "notice", `Waiting for approval of ${event.tool}…`));
      }
      break;
    case "approval_resolved": resolveApproval(event.approval_id, event.success === false ? "Already resolved" : event.approved ? "✓ Approved" : "✗ Rejected"); break;
    case "approval_expired": resolveApproval(event.approval_id, "Expired: " + event.message); break;
    case "done":
      if (live) {
        if (event.conversation_id && event.conversation_id !== conversation) {
          conversation = event.conversation_id;
          setAddress();
        }
        endTurn();
        refreshConversations();
      }
      break;
    case "cancelled": append(el("div", "notice", "■ " + (event.message || "Stopped"))); if (live && !turn.standard) endTurn(); break;
    case "error":
      // A heartbeat command the host refused (an interval below its floor, say).
      // The gateway answers a connection's commands in order, so the oldest
      // one waiting is the one refused.
      if (via === "control" && heartbeatAsked.length) {
        heartbeatAsked.shift();
        heartbeatMessage("Refused: " + (event.message || "the heartbeat cannot do that"));
        break;
      }
      append(el("div", "error", event.message || "Unknown error"));
      // The standard agent ends its turns with "done"; the gateway's own
      // failures and the computer-use agent's errors end them here.
      if (live && (!turn.standard || /^(Agent error|Agent not initialized|No suitable agent)/.test(event.message || ""))) endTurn();
      break;
    case "task_stopped": case "info": append(el("div", "notice", event.message)); break;
    case "conversation_started":
      conversation = event.conversation_id;
      setAddress();
      clearLog(startingText);
      startingText = WELCOME;
      chatReady = true;
      updateControls();
      refreshConversations();
      break;
    case "conversation_resumed": showConversation(event); break;
    case "conversations_changed": conversationsChanged(event); break;
    case "heartbeat_status":
      // Our own announcements to every page answer no command.
      if (via === "control" && !event.announced) heartbeatAsked.shift();
      heartbeatStatus(event);
      break;
    case "heartbeat":
      beatItem = beat(`♥ beat ${event.beat} of ${event.max}`, "beat");
      $("hb-count").textContent = `· ${event.beat}/${event.max} beats`;
      break;
    case "heartbeat_skipped": beat(`… beat skipped: the agent is busy (${event.skipped} skipped)`, "skipped"); break;
    case "heartbeat_paused": beat(`‖ paused after ${event.count} beats without you`, "paused"); heartbeatControl("status"); break;
    case "pong": break;
    default: step(`${event.type} ${short(event, 100)}`);
  }
}

function clearLog(text) {
  log.textContent = "";
  approvals.forEach((card, id) => { if (card.classList.contains("resolved")) { card.remove(); approvals.delete(id); } });
  log.appendChild(el("div", "empty", text));
}

// A stored conversation, shown as it was live: each user message, then its
// turn's steps, pictures, files and answers.
//
// A turn under way in it (a reloaded page, a connection that came back) is
// rebuilt from its replayed events in place of what is stored of it, or,
// when its session could not be resumed, awaited.
function showConversation(event) {
  conversation = event.conversation_id;
  setAddress();
  const ongoing = pending?.conversation === conversation ? pending : null;
  if (pending && !ongoing) forgetPending();
  const events = replayed;
  replayed = null;
  awaited = null;
  let messages = event.messages || [];
  if (ongoing && events) messages = withoutTurn(messages, ongoing.content);
  following = true;
  clearLog(messages.length ? "" : "This conversation has no stored messages yet.");
  if (messages.length) log.textContent = "";
  const bubbles = [];
  let last = null;
  turn = null;
  for (const message of messages) {
    if (message.role === "user") {
      if (turn) closeTurn(last);
      beginTurn(message.content, message.created, message.mode, false);
    } else if (message.role === "assistant") {
      say(message.content, false);
    } else if (message.event) {
      show(message.event, "replay");
    } else if (message.role === "error") {
      append(el("div", "error", message.content));
    }
    if (turn) bubbles.push(...turn.bubbles.filter((b) => !bubbles.includes(b)));
    last = message.created;
  }
  if (ongoing && !events) {
    // Its stored part, if it is the last turn, stays open until the turn ends (see checkAwaited).
    const box = messages.findLast((m) => m.role === "user")?.content === ongoing.content ? turn?.box : null;
    if (box) turn = null;
    awaited = {conversation, content: ongoing.content, box, notice: null};
  }
  if (turn) closeTurn(last);
  render(bubbles);
  if (ongoing && events) {
    beginTurn(ongoing.content, ongoing.time, null, true);
    for (const replayedEvent of events) show(replayedEvent, "chat");
  }
  chatReady = true;
  updateControls();
  refreshConversations();
}

// The messages without the turn that began with the user's `content` (the
// last such turn): its user message and what follows up to the next one.
function withoutTurn(messages, content) {
  const start = messages.findLastIndex((m) => m.role === "user" && m.content === content);
  if (start < 0) return messages;
  const next = messages.findIndex((m, i) => i > start && m.role === "user");
  return [...messages.slice(0, start), ...messages.slice(next < 0 ? messages.length : next)];
}

// ---- controls

function setMenu(open) {
  document.body.classList.toggle("menu-open", open);
  $("menu").setAttribute("aria-expanded", String(open));
  $("backdrop").hidden = !open;
}

function stopTurn() { send({type: "stop_task"}); }

function heartbeatControl(action, interval) {
  const command = {type: "heartbeat_control", action};
  if (interval !== undefined) command.interval = interval;
  if (action !== "status") heartbeatMessage("");
  if (send(command)) heartbeatAsked.push(action);
}

$("composer").onsubmit = (e) => {
  e.preventDefault();
  const input = $("message");
  const content = input.value.trim();
  if (!content || running() || !chatReady) return;
  const computerUse = $("computer-use").checked;
  if (!send({type: "chat", content, computer_use: computerUse || null}, "chat")) return;
  startTurn(content);
  input.value = "";
};
$("message").onkeydown = (e) => {
  if (e.key === "Enter" && !e.shiftKey) { e.preventDefault(); $("composer").requestSubmit(); }
};
document.addEventListener("keydown", (e) => {
  if (e.key !== "Escape" || e.defaultPrevented) return;
  if (document.body.classList.contains("menu-open")) setMenu(false);
  else if (running()) stopTurn();
});
$("stop").onclick = stopTurn;
$("new-conversation").onclick = () => {
  if (!running()) switchTo({type: "new_conversation"}, "New conversation. Say something!");
};
$("menu").onclick = () => setMenu(!document.body.classList.contains("menu-open"));
$("backdrop").onclick = () => setMenu(false);
for (const button of document.querySelectorAll("[data-heartbeat]")) {
  button.onclick = () => {
    const action = button.dataset.heartbeat;
    if (action !== "start") return heartbeatControl(action);
    const text = $("hb-interval").value.trim();
    const seconds = Number(text);
    if (!text || !Number.isFinite(seconds) || seconds < MIN_INTERVAL) {
      heartbeatMessage(`The interval must be a number of seconds, at least ${MIN_INTERVAL}.`);
      return;
    }
    heartbeatControl(action, seconds);
  };
}
// A shorter hint where the composer is narrow.
const narrow = matchMedia("(max-width: 700px)");
const showHint = () => {
  $("message").placeholder = narrow.matches ? "Message Ombrel (try “help”)"
                                            : "Message Ombrel (try “help”, “snapshot” or “run skill visit_counter”)";
};
narrow.addEventListener("change", showHint);
showHint();
for (const text of EXAMPLES) {
  const chip = $("examples").appendChild(el("button", "", text));
  chip.type = "button";
  chip.onclick = () => { $("message").value = text; $("message").focus(); };
}
async function start() {
  pending = kept.get("pending");
  sessions.chat = kept.get("chat");
  sessions.control = kept.get("control");
  await findToken();
  if (!token || await refreshInfo() === "refused") return refuse();
  connect("control");
  connect("chat");
}

clearLog(WELCOME);
updateControls();
start();
