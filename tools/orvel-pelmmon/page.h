// page.h: the monitor's web page, served whole by the program (no CDN).
//
// Nodes are drawn at the x and y the monitor computes (a plane through all
// coordinate dimensions that keeps distances), with one scale for both axes
// so that lengths on screen compare.  Each node is <circle id="node-ADDR"
// data-colour="N" data-role="client|chosen|candidate|idle|colour-N"
// data-kind="computing|host|unknown">: data-colour is the live colour, the
// fill and role come from the search shown (the latest by default), so a
// RESET does not erase the picture.  Computing nodes carry a square frame
// (rect.computing).  Nodes without coordinates are drawn in their own strip
// under the map.  The map takes the width its column has, in pixels, from
// 800 px windows up; the side column keeps the legend and the history in
// the window.
#ifndef ORVEL_TOOLS_PELMMON_PAGE_H_
#define ORVEL_TOOLS_PELMMON_PAGE_H_

namespace pelmmon {

inline const char* kPageHtml = R"HTML(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Orvel coordinate monitor</title>
<style>
 html,body{margin:0}
 body{font-family:sans-serif;padding:8px 12px;background:#fafafa;color:#222;font-size:13px;box-sizing:border-box}
 h1{font-size:17px;margin:0 0 4px}
 #wrap{display:flex;gap:12px;align-items:flex-start}
 #left{flex:1 1 0;min-width:0}
 #side{flex:0 0 280px;width:280px;display:flex;flex-direction:column;max-height:calc(100vh - 44px)}
 @media (min-width:1100px){ #side{flex-basis:340px;width:340px} }
 @media (max-width:760px){ #wrap{flex-direction:column} #left,#side{width:100%;flex:none;max-height:none} }
 #status,#projection{font-size:12px;color:#555;margin:3px 0}
 #outcome{margin:4px 0;padding:4px 6px;border-left:4px solid #bbb;background:#fff;min-height:16px}
 #outcome.failed{border-color:#d62728;background:#fdecea}
 #outcome.chosen{border-color:#1f77b4}
 #outcome.open{border-color:#ff7f0e}
 svg{background:#fff;border:1px solid #ccc;display:block}
 svg text{font-size:11px;fill:#222;pointer-events:none}
 svg text.dist{font-size:11px;fill:#000;font-weight:bold}
 #tools{white-space:nowrap;overflow:hidden;text-overflow:ellipsis}
 #tools button{font-size:12px;margin-right:4px}
 #legend div{margin:1px 0;line-height:16px}
 #legend i{display:inline-block;width:11px;height:11px;border-radius:6px;margin-right:3px;vertical-align:middle;border:1px solid #555}
 #legend i.sq{border-radius:0;background:none;border:2px solid #333;width:9px;height:9px}
 #legend i.ring{border:2px dashed #1f77b4;width:9px;height:9px}
 #history{list-style:none;padding:0;margin:0;overflow-y:auto;border:1px solid #ccc;background:#fff;flex:1 1 auto;min-height:80px}
 #history li{padding:3px 6px;border-bottom:1px solid #eee;cursor:pointer}
 #history li.shown{background:#e8f0fe}
 #history li.failed{color:#a61b1b}
 #details{flex:none;height:88px;overflow:auto;border:1px solid #ccc;background:#fff;padding:4px 6px;white-space:pre-wrap;font-family:monospace;font-size:12px}
 h2{font-size:14px;margin:8px 0 3px;flex:none}
 #legend,#side h2:first-child{flex:none}
 .note{color:#555;font-size:12px}
</style></head>
<body>
<h1>Orvel coordinate monitor</h1>
<div id="wrap">
<div id="left">
 <div id="tools"><button id="zin" title="zoom in">+</button><button id="zout" title="zoom out">&minus;</button><button id="zfit" title="show all nodes">fit</button>
  <label><input type="checkbox" id="follow" checked> follow the latest search</label>
  <span class="note">wheel: zoom, drag: move</span></div>
 <div id="outcome">no search yet</div>
 <svg id="map" width="760" height="520"></svg>
 <div id="status">connecting...</div>
 <div id="projection"></div>
 <h2 id="unplaced-title">Nodes without coordinates</h2>
 <svg id="unplaced" width="760" height="40"></svg>
</div>
<div id="side">
 <h2>Legend</h2><div id="legend"></div>
 <h2>Last searches (newest first)</h2><ol id="history"></ol>
 <h2>Details</h2><div id="details">Point at a node.</div>
</div>
</div>
<script>
"use strict";
const PALETTE = {0:"#c8c8c8",1:"#d62728",2:"#ff7f0e",3:"#bcbd22",4:"#2ca02c",5:"#1f77b4",6:"#9467bd",7:"#8c564b"};
const OTHER = "#e377c2", CANDIDATE = "#9ecae1";
const ROLE = {0:"idle",1:"client",5:"chosen"};
// Room is left at the sides for the labels of the outermost nodes (less on
// a narrow map).
const MY = 30, APART = 24, LABEL_LIMIT = 60, EARLIER = 20;
let W = 760, H = 520, MX = 95;
const NS = "http://www.w3.org/2000/svg";
function colourOf(c){ return PALETTE[c] || OTHER; }
function fillOf(role){ return role === "candidate" ? CANDIDATE : role === "idle" ? PALETTE[0] : role === "client" ? PALETTE[1] : role === "chosen" ? PALETTE[5] : colourOf(+role.slice(7)); }
function fmt(v){ return Math.abs(v) >= 1000 || (v !== 0 && Math.abs(v) < 0.01) ? v.toExponential(2) : v.toFixed(2); }
function clock(ms){ const d = new Date(ms); return d.toLocaleTimeString("en-GB",{hour12:false})+"."+String(d.getMilliseconds()).padStart(3,"0"); }
function el(tag, attrs, parent){ const e = document.createElementNS(NS, tag); for (const k in attrs) e.setAttribute(k, attrs[k]); if (parent) parent.appendChild(e); return e; }

(function legend(){
  const box = document.getElementById("legend");
  const rows = [
    ["idle", '<i style="background:'+PALETTE[0]+'"></i>', "not marked in the search shown"],
    ["client", '<i style="background:'+PALETTE[1]+'"></i>', "client: host the service searched a node for"],
    ["candidate", '<i class="ring" style="background:'+CANDIDATE+'"></i>', "candidate: computing node near the client, nearest first"],
    ["chosen", '<i style="background:'+PALETTE[5]+'"></i>', "chosen node for the client"],
    ["computing", '<i class="sq"></i>', "computing node: chosen in some search"],
    ["line", '<svg width="22" height="11" style="border:0;display:inline;vertical-align:middle;background:none"><line x1="0" y1="6" x2="20" y2="6" stroke="#333" stroke-width="2"/></svg>', "client to chosen node, with their distance"],
    ["earlier", '<svg width="22" height="11" style="border:0;display:inline;vertical-align:middle;background:none"><line x1="0" y1="6" x2="20" y2="6" stroke="#999" stroke-width="1.5" stroke-dasharray="4 3"/></svg>', "a choice of an earlier search"],
    ["other", [2,3,4,6,7].map(c => '<i style="background:'+colourOf(c)+'"></i>').join("")+'<i style="background:'+OTHER+'"></i>', "other colours: marked by the sender"]];
  for (const [key, mark, text] of rows) {
    const d = document.createElement("div");
    d.setAttribute("data-legend", key);
    d.innerHTML = mark+" "+text;
    box.appendChild(d);
  }
})();

const svg = document.getElementById("map"), strip = document.getElementById("unplaced");
// Drawing order: earlier and current lines, frames, idle nodes and their
// labels, then marked nodes and theirs, so nothing idle covers a marked node.
const gEarlier = el("g",{id:"earlier"},svg), gEdges = el("g",{id:"edges"},svg), gFrames = el("g",{id:"frames"},svg),
      gNodes = el("g",{id:"nodes"},svg), gLabels = el("g",{id:"labels"},svg),
      gTop = el("g",{id:"top"},svg), gHotLabels = el("g",{id:"hot-labels"},svg);
let state = null, nodeKey = "", byName = new Map(), fitView = {k:1,tx:0,ty:0}, view = null, shownId = null;

// The map fills its column: as wide as the column, as high as the window
// leaves room for (keeping the 760:520 shape when it can).
function layout(){
  const w = Math.max(300, Math.floor(document.getElementById("left").clientWidth) - 2);
  const top = svg.getBoundingClientRect().top + window.scrollY;
  const h = Math.max(240, Math.min(Math.round(w*520/760), Math.floor(window.innerHeight - top - 64)));
  if (w === W && h === H) return false;
  if (view) { view.tx += (w-W)/2; view.ty += (h-H)/2; }
  W = w; H = h; MX = Math.min(95, Math.max(70, Math.round(W/8)));
  svg.setAttribute("width", W); svg.setAttribute("height", H); svg.setAttribute("viewBox", "0 0 "+W+" "+H);
  return true;
}

function fit(){
  const placed = state.nodes.filter(n => n.x !== undefined);
  if (!placed.length) { fitView = {k:1,tx:W/2,ty:H/2}; return; }
  let minx=Infinity,maxx=-Infinity,miny=Infinity,maxy=-Infinity;
  for (const n of placed){ minx=Math.min(minx,n.x); maxx=Math.max(maxx,n.x); miny=Math.min(miny,n.y); maxy=Math.max(maxy,n.y); }
  const span = Math.max(maxx-minx, maxy-miny) || 1;   // one scale for both axes
  const k = Math.min((W-2*MX)/((maxx-minx)||span), (H-2*MY)/((maxy-miny)||span));
  fitView = {k, tx: W/2-k*(minx+maxx)/2, ty: H/2+k*(miny+maxy)/2};
}
function toScreen(n){ return [view.tx+view.k*n.x, view.ty-view.k*n.y]; }

function buildNodes(){
  gNodes.textContent = ""; gTop.textContent = ""; strip.textContent = ""; byName.clear();
  let col = 0, row = 0;
  const unplaced = state.nodes.filter(n => n.x === undefined);
  const perRow = Math.max(1, Math.floor(W/125));
  const rows = Math.max(1, Math.ceil(unplaced.length / perRow));
  strip.setAttribute("width", W); strip.setAttribute("height", 14+rows*26); strip.setAttribute("viewBox","0 0 "+W+" "+(14+rows*26));
  document.getElementById("unplaced-title").textContent = "Nodes without coordinates ("+unplaced.length+")";
  strip.style.display = unplaced.length ? "block" : "none";
  document.getElementById("unplaced-title").style.display = unplaced.length ? "block" : "none";
  for (const n of state.nodes) {
    const placed = n.x !== undefined;
    const c = el("circle",{id:"node-"+n.name,r:4},placed ? gNodes : strip);
    c.addEventListener("mouseenter", () => details(n.name));
    const rec = {n, c, placed, label:null};
    if (!placed) {
      const x = 14+col*125, y = 18+row*26;
      c.setAttribute("cx",x); c.setAttribute("cy",y); c.setAttribute("r",7);
      const t = el("text",{x:x+11,y:y+4},strip); t.textContent = n.name;
      if (++col === perRow) { col = 0; row++; }
    }
    byName.set(n.name, rec);
  }
}

function shownSearch(){
  if (!state.searches.length) return null;
  if (document.getElementById("follow").checked || shownId === null) shownId = state.searches[state.searches.length-1].id;
  return state.searches.find(s => s.id === shownId) || state.searches[state.searches.length-1];
}

// Screen positions; a client and its chosen node closer than APART pixels
// are drawn apart along their line so both stay visible.
function screenPositions(choices){
  const pos = new Map();
  for (const [name, r] of byName) if (r.placed) pos.set(name, toScreen(r.n));
  const apart = new Set();
  for (const ch of choices) {
    const a = pos.get(ch.client), b = pos.get(ch.chosen);
    if (!a || !b || ch.client === ch.chosen) continue;
    let dx = b[0]-a[0], dy = b[1]-a[1], d = Math.hypot(dx,dy);
    if (d >= APART) continue;
    if (d < 1e-9) { dx = 1; dy = 0; d = 1; }
    const mx = (a[0]+b[0])/2, my = (a[1]+b[1])/2, h = APART/2;
    pos.set(ch.client, [mx-dx/d*h, my-dy/d*h]); pos.set(ch.chosen, [mx+dx/d*h, my+dy/d*h]);
    apart.add(ch.client); apart.add(ch.chosen);
  }
  return {pos, apart};
}

// Role of each node in the search shown: its last colour there, else
// candidate when it is one.
function roles(search){
  const role = new Map();
  if (!search) return role;
  for (const c of search.candidates) role.set(c.node, "candidate");
  for (const m of search.marks) role.set(m.node, ROLE[m.colour] || ("colour-"+m.colour));
  return role;
}

function drawNodes(pos, apart, role){
  let visible = 0;
  for (const [name, r] of byName) {
    if (!r.placed) continue;
    const p = pos.get(name);
    if (p[0] >= 0 && p[0] <= W && p[1] >= 0 && p[1] <= H) visible++;
  }
  const labelAll = visible <= LABEL_LIMIT;
  gFrames.textContent = "";
  for (const [name, r] of byName) {
    const shown = role.get(name) || "idle", c = r.c;
    c.setAttribute("data-colour", String(r.n.colour));
    c.setAttribute("data-role", shown);
    c.setAttribute("data-kind", r.n.kind);
    c.setAttribute("fill", fillOf(shown));
    c.setAttribute("data-apart", apart.has(name) ? "1" : "0");
    const hot = shown !== "idle", cand = shown === "candidate";
    c.setAttribute("stroke", cand ? "#1f77b4" : hot ? "#000" : "none");
    c.setAttribute("stroke-dasharray", cand ? "3 2" : "none");
    if (!r.placed) continue;
    const p = pos.get(name);
    c.setAttribute("cx", p[0].toFixed(1)); c.setAttribute("cy", p[1].toFixed(1));
    const rad = cand ? 7 : hot ? 8 : 4;
    c.setAttribute("r", rad);
    c.setAttribute("stroke-width", hot ? 1.5 : 0);
    c.setAttribute("opacity", hot ? 1 : 0.75);
    if (r.n.kind === "computing") {
      const side = 2*rad+8;
      el("rect",{class:"computing","data-node":name,x:(p[0]-side/2).toFixed(1),y:(p[1]-side/2).toFixed(1),
                 width:side,height:side,fill:"none",stroke:"#333","stroke-width":hot ? 2 : 1.2}, gFrames);
    }
    // Marked nodes are drawn last, above the idle ones.
    if (hot) gTop.appendChild(c); else if (c.parentNode !== gNodes) gNodes.appendChild(c);
    if (hot || labelAll) {
      const t = el("text",{x:(p[0]+rad+(r.n.kind === "computing" ? 7 : 3)).toFixed(1), y:(p[1]+4).toFixed(1), "data-node":name}, hot ? gHotLabels : gLabels);
      t.textContent = name;
    }
  }
}

// A line from each client to its chosen node with the distance beside its
// middle, off both markers; client labels go to the side away from their
// chosen node.
function drawChoices(choices, pos){
  for (const ch of choices) {
    const a = pos.get(ch.client), b = pos.get(ch.chosen);
    if (!a || !b) continue;
    el("line",{x1:a[0].toFixed(1),y1:a[1].toFixed(1),x2:b[0].toFixed(1),y2:b[1].toFixed(1),
               stroke:"#333","stroke-width":2,"data-client":ch.client,"data-chosen":ch.chosen,class:"choice"}, gEdges);
    const mx = (a[0]+b[0])/2, my = (a[1]+b[1])/2, len = Math.hypot(b[0]-a[0], b[1]-a[1]) || 1;
    const nx = -(b[1]-a[1])/len, ny = (b[0]-a[0])/len;
    const t = el("text",{class:"dist"}, gHotLabels);
    if (Math.abs(nx) > Math.abs(ny)) {
      t.setAttribute("x", (mx+(nx > 0 ? 16 : -16)).toFixed(1)); t.setAttribute("y", (my+4).toFixed(1));
      t.setAttribute("text-anchor", nx > 0 ? "start" : "end");
    } else {
      t.setAttribute("x", mx.toFixed(1)); t.setAttribute("y", (my+(ny > 0 ? 24 : -14)).toFixed(1));
      t.setAttribute("text-anchor", "middle");
    }
    t.textContent = ch.distance === null ? "no coordinates" : "d = "+fmt(ch.distance);
    const clientLeft = a[0] < b[0] || (a[0] === b[0] && a[1] > b[1]);
    for (const lab of gHotLabels.querySelectorAll("text[data-node]")) {
      const who = lab.getAttribute("data-node");
      if (who !== ch.client && who !== ch.chosen) continue;
      const p = who === ch.client ? a : b, left = (who === ch.client) === clientLeft;
      const off = 11 + (byName.get(who).n.kind === "computing" ? 6 : 0);
      lab.setAttribute("text-anchor", left ? "end" : "start");
      lab.setAttribute("x", (p[0]+(left ? -off : off)).toFixed(1));
    }
  }
}

// The choices of the searches before the one shown stay on the map, faint,
// so a failed search does not hide what came before it.
function drawEarlier(search, pos){
  gEarlier.textContent = "";
  if (!search) return;
  const before = state.searches.filter(s => s.id < search.id).slice(-EARLIER);
  for (const s of before) for (const ch of s.choices) {
    const a = pos.get(ch.client), b = pos.get(ch.chosen);
    if (!a || !b) continue;
    el("line",{x1:a[0].toFixed(1),y1:a[1].toFixed(1),x2:b[0].toFixed(1),y2:b[1].toFixed(1),stroke:"#999",
               "stroke-width":1.5,"stroke-dasharray":"4 3",class:"earlier","data-search-id":s.id,
               "data-client":ch.client,"data-chosen":ch.chosen}, gEarlier);
  }
}

function clientsOf(s){ return [...new Set(s.marks.filter(m => m.colour === 1).map(m => m.node))]; }
function failed(s){ return s.ended !== null && !s.choices.length; }
function candidateText(s, client){
  const c = s.candidates.filter(k => k.client === client);
  if (!c.length) return "no computing node known to the monitor yet";
  return "candidates "+c.map(k => k.node+(k.distance===null?"":" (d = "+fmt(k.distance)+")")).join(", ");
}

// One line on the search shown: what it came to and, when it failed, what
// the monitor can tell about why.
function outcome(search){
  const box = document.getElementById("outcome");
  if (!search) { box.className = ""; box.textContent = "no search yet"; return; }
  const clients = clientsOf(search), who = clients.join(", ") || "?";
  let text = "Search #"+search.id+": ", cls = "";
  if (search.choices.length) {
    cls = "chosen";
    text += search.choices.map(c => (c.client||"?")+" \u2192 "+c.chosen+(c.distance===null?"":", d = "+fmt(c.distance))).join("; ");
    text += search.ended === null ? " (in progress)" : "";
  } else if (search.ended === null) {
    cls = "open";
    text += "client "+who+", waiting for a choice; "+(clients.length ? candidateText(search, clients[0]) : "");
  } else {
    cls = "failed";
    text += "ended without a choice"+(search.ended_by === "idle" ? " (no line for "+Math.round(state.idle_ms/1000)+" s)" : "")+" for "+who;
    const why = clients.map(c => { const r = byName.get(c);
      return r && !r.n.coords.length ? c+" has no coordinates in the monitor's file" : candidateText(search, c); });
    if (why.length) text += ": "+why.join("; ");
  }
  box.className = cls; box.textContent = text;
}

function showStatus(){
  const unplaced = state.nodes.filter(n => n.x === undefined).length;
  const computing = state.nodes.filter(n => n.kind === "computing").length;
  document.getElementById("status").textContent =
    "update "+state.version+" \u00b7 "+state.nodes.length+" nodes, "+(state.nodes.length-unplaced)+" placed, "+unplaced+" without coordinates, "+computing+" known to compute \u00b7 "+
    state.nodes.filter(n => n.colour).length+" coloured now";
  document.getElementById("projection").textContent = state.dims > 2 ?
    "All "+state.dims+" coordinate dimensions are shown on the plane that keeps the most of their spread ("+Math.round(state.kept*100)+"%): distances on screen are true distances with the rest left out, never longer." :
    "Coordinates have "+state.dims+" dimension"+(state.dims===1?"":"s")+": shown as they are, rotated to their main axes.";
}

function render(){
  if (!state) return;
  const resized = layout();
  const key = state.nodes.map(n => n.name+":"+n.x+","+n.y).join("|");
  if (key !== nodeKey || resized) { nodeKey = key; buildNodes(); fit(); if (!view) view = {...fitView}; }
  for (const n of state.nodes) { const r = byName.get(n.name); if (r) r.n = n; }
  const search = shownSearch();
  const choices = search ? search.choices : [];
  const {pos, apart} = screenPositions(choices);
  gEdges.textContent = ""; gLabels.textContent = ""; gHotLabels.textContent = "";
  drawEarlier(search, pos);
  drawNodes(pos, apart, roles(search));
  drawChoices(choices, pos);
  outcome(search);
  history(search);
  showStatus();
  document.body.setAttribute("data-version", String(state.version));
}

function describe(s){
  if (!s.choices.length) {
    const m = s.marks.map(m => m.node+" ("+(ROLE[m.colour]||"colour "+m.colour)+")");
    return m.slice(0,4).join(", ")+(m.length>4?" ...":"");
  }
  return s.choices.map(c => (c.client||"?")+" \u2192 "+c.chosen+(c.distance===null?"":", d = "+fmt(c.distance))).join("; ");
}
function history(search){
  const list = document.getElementById("history");
  list.textContent = "";
  for (const s of state.searches.slice().reverse()) {
    const li = document.createElement("li");
    li.className = "search"+(search && s.id === search.id ? " shown" : "")+(failed(s) ? " failed" : "");
    li.setAttribute("data-search-id", s.id);
    const end = s.ended === null ? "  (in progress)" : failed(s) ? "  (ended without a choice "+clock(s.ended)+")" : "  (ended "+clock(s.ended)+")";
    li.textContent = clock(s.started)+"  #"+s.id+"  "+describe(s)+end;
    li.addEventListener("click", () => { document.getElementById("follow").checked = false; shownId = s.id; render(); });
    list.appendChild(li);
  }
}

function details(name){
  const r = byName.get(name); if (!r) return;
  const n = r.n, lines = [name+(n.kind === "computing" ? " (computing node)" : n.kind === "host" ? " (end host)" : "")];
  lines.push("colour now: "+n.colour+" ("+(ROLE[n.colour]||"marked")+")");
  lines.push(n.coords.length ? "coordinates: "+n.coords.join(" ") : "coordinates: none in the file");
  if (r.placed) lines.push("on the plane: "+fmt(n.x)+", "+fmt(n.y));
  const s = shownSearch();
  if (s) {
    for (const c of s.choices) {
      if (c.client === name) lines.push("chosen node: "+c.chosen+(c.distance===null?"":", distance "+fmt(c.distance)));
      if (c.chosen === name) lines.push("chosen for "+(c.client||"?")+(c.distance===null?"":", distance "+fmt(c.distance)));
    }
    const mine = s.candidates.filter(c => c.client === name);
    if (mine.length) lines.push(candidateText(s, name));
    s.candidates.forEach(c => { if (c.node === name) lines.push("candidate for "+c.client+(c.distance===null?"":", distance "+fmt(c.distance))); });
  }
  if (r.c.getAttribute("data-apart") === "1") lines.push("drawn apart from its partner: closer than "+APART+" px at this zoom");
  const seen = state.searches.filter(x => x.marks.some(m => m.node === name)).length;
  lines.push("in "+seen+" of the last "+state.searches.length+" searches");
  document.getElementById("details").textContent = lines.join("\n");
}

function zoomAt(f, cx, cy){ if (!view) return; view.tx = cx-(cx-view.tx)*f; view.ty = cy-(cy-view.ty)*f; view.k *= f; render(); }
svg.addEventListener("wheel", e => { e.preventDefault(); const b = svg.getBoundingClientRect(); zoomAt(e.deltaY < 0 ? 1.25 : 0.8, e.clientX-b.left, e.clientY-b.top); }, {passive:false});
let drag = null;
svg.addEventListener("mousedown", e => { drag = [e.clientX, e.clientY]; });
window.addEventListener("mouseup", () => { drag = null; });
window.addEventListener("mousemove", e => { if (!drag || !view) return; view.tx += e.clientX-drag[0]; view.ty += e.clientY-drag[1]; drag = [e.clientX, e.clientY]; render(); });
window.addEventListener("resize", () => render());
document.getElementById("zin").onclick = () => zoomAt(1.5, W/2, H/2);
document.getElementById("zout").onclick = () => zoomAt(1/1.5, W/2, H/2);
document.getElementById("zfit").onclick = () => { view = {...fitView}; render(); };
document.getElementById("follow").onchange = () => render();

function take(json){ state = JSON.parse(json); render(); }
let polling = null;
function connect(){
  const es = new EventSource("/events");
  es.onmessage = ev => take(ev.data);
  es.onerror = () => {
    document.getElementById("status").textContent = "reconnecting...";
    if (es.readyState === EventSource.CLOSED && !polling) {
      // Refused (too many pages open): read /state now and then instead.
      polling = setInterval(() => fetch("/state").then(r => r.text()).then(take).catch(() => {}), 2000);
    }
  };
}
connect();
</script>
</body></html>
)HTML";

}  // namespace pelmmon

#endif  // ORVEL_TOOLS_PELMMON_PAGE_H_
