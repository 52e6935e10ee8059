// Ombrel's chat page: plain JavaScript over the gateway's "/ws" route.
//
// The page keeps two WebSocket connections. The gateway reads one
// connection's commands one after another, so a running chat turn holds its
// connection: chat messages go on the "chat" socket, everything else
// (approvals, stop, conversations, heartbeat) on the "control" socket, which
// stays free while a turn runs. Broadcasts reach both sockets; the chat
// socket leaves them to the control socket.
"use strict";

const $ = (id) => document.getElementById(id);
const log = $("log");
const BROADCAST_ONLY = new Set(["heartbeat", "heartbeat_paused", "heartbeat_skipped", "heartbeat_status",
                                "approval_resolved", "approval_expired"]);
const EXAMPLES = ["help", "snapshot", "screenshot", "windows", "skills",
                  'run skill visit_counter {"who": "me"}', 'run skill write_report {"title": "Notes"}',
                  'run skill browse_page {"name": "Ada"}', 'run skill shell_command {"command": "uname -a"}',
                  "count 20"];

const sockets = {chat: null, control: null};
const approvals = new Map();    // approval_id -> card
let turn = null;                // the running chat turn: {box, bubble}
let beatLine = null;            // the heartbeat answer being streamed
let currentConversation = null;
let retryDelay = 500;

// ---- small helpers

function el(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  return node;
}

function scrollDown() { log.scrollTop = log.scrollHeight; }

function append(node, parent = turn ? turn.box : log) {
  log.querySelector(".empty")?.remove();
  parent.appendChild(node);
  scrollDown();
  return node;
}

// Text with ``` fences: the fenced parts as <pre> blocks (a desktop
// snapshot's with its details as badges).
function renderText(node, text) {
  node.textContent = "";
  text.split("```").forEach((part, i) => {
    const block = part.replace(/^\n/, "").replace(/\n$/, "");
    if (i % 2) node.appendChild(block.startsWith("Window: ") ? snapshotView(block) : el("pre", "", block));
    else if (i && part.replace(/^\n/, "")) node.appendChild(document.createTextNode(part.replace(/^\n/, "")));
    else if (!i && part) node.appendChild(document.createTextNode(part));
  });
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

function send(command, via = "control") {
  const socket = sockets[via];
  if (!socket || socket.readyState !== WebSocket.OPEN) {
    append(el("div", "error", "Not connected to the server: the page reconnects by itself, try again in a moment."));
    return false;
  }
  socket.send(JSON.stringify(command));
  return true;
}

// ---- connection

function connect(name) {
  const socket = new WebSocket(`${location.protocol === "https:" ? "wss" : "ws"}://${location.host}/ws`);
  sockets[name] = socket;
  socket.onopen = () => {
    if (sockets.chat?.readyState === WebSocket.OPEN && sockets.control?.readyState === WebSocket.OPEN) connected();
  };
  socket.onmessage = (message) => {
    let event;
    try { event = JSON.parse(message.data); } catch { return; }
    if (name === "chat" && (BROADCAST_ONLY.has(event.type) || event.source === "heartbeat")) return;
    show(event, name);
  };
  socket.onclose = () => {
    if (sockets[name] !== socket) return;
    sockets[name] = null;
    disconnected();
    setTimeout(() => connect(name), retryDelay);
    retryDelay = Math.min(retryDelay * 2, 5000);
  };
}

function connected() {
  retryDelay = 500;
  const badge = $("connection");
  badge.textContent = "connected";
  badge.className = "badge good";
  send({type: "heartbeat_control", action: "status"});
  refreshInfo();
  refreshApprovals();
  refreshConversations(true);
}

function disconnected() {
  const badge = $("connection");
  if (badge.classList.contains("bad")) return;
  badge.textContent = "reconnecting…";
  badge.className = "badge bad";
  if (turn) {
    append(el("div", "error", "The connection to the server was lost; this answer is incomplete."));
    endTurn();
  }
}

async function fetchJSON(path) {
  const response = await fetch(path);
  if (!response.ok) throw new Error(`${path}: ${response.status}`);
  return response.json();
}

async function refreshInfo() {
  try {
    const info = await fetchJSON("/api/info");
    const badge = $("agent-mode");
    badge.textContent = info.mode === "model" ? `model: ${info.model}` : "offline agent";
    badge.title = info.display === "available" ? "Desktop available" : info.display;
    badge.className = "badge " + (info.mode === "model" ? "good" : "");
  } catch { /* shown again at the next connection */ }
}

async function refreshApprovals() {
  try {
    for (const request of await fetchJSON("/api/approvals")) showApproval(request);
  } catch { }
}

async function refreshConversations(resumeCurrent = false) {
  let data;
  try { data = await fetchJSON("/api/conversations"); } catch { return; }
  const list = $("conversations");
  list.textContent = "";
  for (const c of data.conversations) {
    const item = el("li", c.id === currentConversation ? "active" : "", c.title || "(empty conversation)");
    item.dataset.id = c.id;
    item.title = `${c.title || c.id} — ${new Date(c.updated * 1000).toLocaleString()}`;
    item.appendChild(el("small", "", String(c.count)));
    item.onclick = () => send({type: "resume_conversation", conversation_id: c.id});
    list.appendChild(item);
  }
  if (!data.conversations.length) list.appendChild(el("li", "muted", "No conversations yet"));
  if (resumeCurrent && data.current && data.current !== currentConversation && !turn)
    send({type: "resume_conversation", conversation_id: data.current});
}

// ---- chat turns

function startTurn(content) {
  const user = append(el("div", "user"), log);
  user.appendChild(el("div", "", content));
  turn = {box: append(el("div", "turn"), log), bubble: null, standard: true};
  $("stop").hidden = false;
  $("send").disabled = true;
}

function endTurn() {
  turn = null;
  $("stop").hidden = true;
  $("send").disabled = false;
}

function say(content) {
  if (!turn) turn = {box: append(el("div", "turn"), log), bubble: null};
  if (!turn.bubble) {
    turn.bubble = append(el("div", "bubble"));
    turn.bubble.dataset.text = "";
  }
  turn.bubble.dataset.text += content;
  renderText(turn.bubble, turn.bubble.dataset.text);
  scrollDown();
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

function screenshot(base64, caption) {
  if (turn) turn.bubble = null;
  const img = el("img", "shot");
  img.alt = caption || "screenshot";
  img.src = "data:image/png;base64," + base64;
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
    screenshot(event.image_base64, event.tool);
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
  for (const src of pictures) {
    const img = append(el("img", "shot"));
    img.src = src;
    img.alt = "a picture the skill saved";
    img.onclick = () => window.open(img.src, "_blank");
  }
}

function summaryOf(result) {
  if (result.skill_name) return `${result.skill_name} ${result.success === false ? "failed" : "done"} in ${result.duration_seconds} s`;
  if (result.window !== undefined) return `${result.window} (${result.element_count} elements)`;
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

function beat(text, className = "") {
  const line = el("li", className, `${new Date().toLocaleTimeString()} ${text}`);
  $("beats").prepend(line);
  while ($("beats").children.length > 30) $("beats").lastChild.remove();
  return line;
}

function heartbeatReply(event) {
  if (event.type === "text") {
    if (!beatLine) beatLine = beat("→ ");
    beatLine.textContent += event.content;
  } else if (event.type === "done") {
    beatLine = null;
  } else if (event.type === "error") {
    beat("✗ " + event.message, "paused");
  }
}

// ---- every event

function show(event, via) {
  if (event.source === "heartbeat") return heartbeatReply(event);
  switch (event.type) {
    case "mode": {
      const banner = $("banner");
      banner.hidden = false;
      banner.className = event.mode;
      banner.textContent = "";
      banner.appendChild(el("strong", "", event.mode === "computer_use" ? "Computer-use agent" : "Standard agent"));
      banner.appendChild(el("span", "muted", " · " + event.message));
      if (via === "chat" && turn) turn.standard = event.mode === "standard";
      break;
    }
    case "text": say(event.content ?? ""); break;
    case "thinking": step(`… ${event.content ?? event.message ?? ""}`); break;
    case "iteration": step(`↻ iteration ${event.number} of ${event.max}`); break;
    case "tool_call": step(`⚙ ${event.tool} ${short(event.arguments, 80)}`, JSON.stringify(event.arguments, null, 2)); break;
    case "tool_result": toolResult(event); break;
    case "tool_approval_needed":
      if (approvals.has(event.approval_id)) break;
      showApproval(event);
      if (turn && via === "chat") append(el("div", "notice", `Waiting for approval of ${event.tool}…`));
      break;
    case "approval_resolved": resolveApproval(event.approval_id, event.success === false ? "Already resolved" : event.approved ? "✓ Approved" : "✗ Rejected"); break;
    case "approval_expired": resolveApproval(event.approval_id, "Expired: " + event.message); break;
    case "done":
      if (via === "chat") { endTurn(); refreshConversations(); }
      break;
    case "cancelled": append(el("div", "notice", "■ " + (event.message || "Stopped"))); if (via === "chat" && turn && !turn.standard) endTurn(); break;
    case "error":
      append(el("div", "error", event.message || "Unknown error"));
      // The standard agent ends its turns with "done"; the gateway's own
      // failures and the computer-use agent's errors end them here.
      if (via === "chat" && turn && (!turn.standard || /^(Agent error|Agent not initialized|No suitable agent)/.test(event.message || ""))) endTurn();
      break;
    case "task_stopped": case "info": append(el("div", "notice", event.message)); break;
    case "conversation_started":
      currentConversation = event.conversation_id;
      clearLog("New conversation. Say something!");
      refreshConversations();
      break;
    case "conversation_resumed": showConversation(event); break;
    case "heartbeat_status": heartbeatStatus(event); break;
    case "heartbeat": beat(`♥ beat ${event.beat} of ${event.max}`); $("hb-count").textContent = `· ${event.beat}/${event.max} beats`; break;
    case "heartbeat_skipped": beat(`… beat skipped: the agent is busy (${event.skipped} skipped)`, "skipped"); break;
    case "heartbeat_paused": beat(`‖ paused after ${event.count} beats without you`, "paused"); send({type: "heartbeat_control", action: "status"}); break;
    case "pong": break;
    default: step(`${event.type} ${short(event, 100)}`);
  }
}

function clearLog(text) {
  log.textContent = "";
  approvals.forEach((card, id) => { if (card.classList.contains("resolved")) { card.remove(); approvals.delete(id); } });
  log.appendChild(el("div", "empty", text));
}

function showConversation(event) {
  currentConversation = event.conversation_id;
  clearLog(event.messages?.length ? "" : "This conversation has no stored messages.");
  if (event.messages?.length) log.textContent = "";
  for (const message of event.messages || []) {
    if (message.role === "user") append(el("div", "user"), log).appendChild(el("div", "", message.content));
    else if (message.role === "error") append(el("div", "error", message.content), log);
    else renderText(append(el("div", "bubble"), log), message.content);
  }
  for (const item of $("conversations").children) item.classList.toggle("active", item.dataset.id === currentConversation);
}

// ---- controls

$("composer").onsubmit = (e) => {
  e.preventDefault();
  const input = $("message");
  const content = input.value.trim();
  if (!content || turn) return;
  const computerUse = $("computer-use").checked;
  if (!send({type: "chat", content, computer_use: computerUse || null}, "chat")) return;
  startTurn(content);
  input.value = "";
};
$("message").onkeydown = (e) => {
  if (e.key === "Enter" && !e.shiftKey) { e.preventDefault(); $("composer").requestSubmit(); }
};
$("stop").onclick = () => send({type: "stop_task"});
$("new-conversation").onclick = () => send({type: "new_conversation"});
for (const button of document.querySelectorAll("[data-heartbeat]")) {
  button.onclick = () => {
    const command = {type: "heartbeat_control", action: button.dataset.heartbeat};
    if (command.action === "start") command.interval = Number($("hb-interval").value) || 30;
    send(command);
  };
}
for (const text of EXAMPLES) {
  const chip = $("examples").appendChild(el("button", "", text));
  chip.type = "button";
  chip.onclick = () => { $("message").value = text; $("message").focus(); };
}
clearLog("Ask Ombrel something, or try one of the examples below.");
connect("control");
connect("chat");
