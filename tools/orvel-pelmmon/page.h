// page.h: the monitor's web page, served whole by the program (no CDN).
//
// Nodes are drawn at the x and y the monitor computes (a plane through all
// coordinate dimensions that keeps distances), with one scale for both axes
// so that lengths on screen compare.  Each node is <circle id="node-ADDR"
// data-colour="N" data-role="client|chosen|...">: data-colour is the live
// colour, the fill and role come from the search shown (the latest by
// default), so a RESET does not erase the picture.  Nodes without
// coordinates are drawn in their own strip under the map.
#ifndef ORVEL_TOOLS_PELMMON_PAGE_H_
#define ORVEL_TOOLS_PELMMON_PAGE_H_

namespace pelmmon {

inline const char* kPageHtml = R"HTML(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<title>Orvel coordinate monitor</title>
<style>
 body{font-family:sans-serif;margin:12px;background:#fafafa;color:#222;font-size:13px}
 h1{font-size:18px;margin:0 0 6px}
 #wrap{display:flex;gap:12px;align-items:flex-start}
 #left{flex:none}
 #side{width:330px;flex:none}
 #status{font-size:12px;color:#555;margin:4px 0}
 svg{background:#fff;border:1px solid #ccc;display:block}
 svg text{font-size:11px;fill:#222;pointer-events:none}
 svg text.dist{font-size:11px;fill:#000;font-weight:bold}
 #tools button{font-size:12px;margin-right:4px}
 #legend div{margin:2px 0}
 #legend i{display:inline-block;width:11px;height:11px;border-radius:6px;margin-right:6px;vertical-align:middle;border:1px solid #555}
 #history{list-style:none;padding:0;margin:0;max-height:300px;overflow-y:auto;border:1px solid #ccc;background:#fff}
 #history li{padding:4px 6px;border-bottom:1px solid #eee;cursor:pointer}
 #history li.shown{background:#e8f0fe}
 #details{min-height:72px;border:1px solid #ccc;background:#fff;padding:6px;white-space:pre-wrap;font-family:monospace;font-size:12px}
 h2{font-size:14px;margin:10px 0 4px}
 .note{color:#555;font-size:12px}
</style></head>
<body>
<h1>Orvel coordinate monitor</h1>
<div id="wrap">
<div id="left">
 <div id="tools"><button id="zin" title="zoom in">+</button><button id="zout" title="zoom out">&minus;</button><button id="zfit" title="show all nodes">fit</button>
  <label><input type="checkbox" id="follow" checked> follow the latest search</label>
  <span class="note">wheel: zoom, drag: move</span></div>
 <svg id="map" width="760" height="520" viewBox="0 0 760 520"></svg>
 <div id="status">connecting...</div>
 <h2 id="unplaced-title">Nodes without coordinates</h2>
 <svg id="unplaced" width="760" height="40" viewBox="0 0 760 40"></svg>
</div>
<div id="side">
 <h2>Legend</h2><div id="legend"></div>
 <div id="projection" class="note"></div>
 <h2>Details</h2><div id="details">Point at a node.</div>
 <h2>Last searches (newest first)</h2><ol id="history"></ol>
</div>
</div>
<script>
"use strict";
const PALETTE = {0:"#c8c8c8",1:"#d62728",2:"#ff7f0e",3:"#bcbd22",4:"#2ca02c",5:"#1f77b4",6:"#9467bd",7:"#8c564b"};
const OTHER = "#e377c2";
const NAMES = {
  0:"idle: not marked in the search shown",
  1:"client: host the service searched a node for",
  2:"colour 2: marked by the sender (no fixed meaning)",
  3:"colour 3: marked by the sender (no fixed meaning)",
  4:"colour 4: marked by the sender (no fixed meaning)",
  5:"chosen node: the node chosen for the client",
  6:"colour 6: marked by the sender (no fixed meaning)",
  7:"colour 7: marked by the sender (no fixed meaning)"};
const ROLE = {0:"idle",1:"client",5:"chosen"};
// Room is left at the sides for the labels of the outermost nodes.
const W = 760, H = 520, MX = 95, MY = 30, APART = 24, LABEL_LIMIT = 60;
const NS = "http://www.w3.org/2000/svg";
function colourOf(c){ return PALETTE[c] || OTHER; }
function fmt(v){ return Math.abs(v) >= 1000 || (v !== 0 && Math.abs(v) < 0.01) ? v.toExponential(2) : v.toFixed(2); }
function clock(ms){ const d = new Date(ms); return d.toLocaleTimeString("en-GB",{hour12:false})+"."+String(d.getMilliseconds()).padStart(3,"0"); }
function el(tag, attrs, parent){ const e = document.createElementNS(NS, tag); for (const k in attrs) e.setAttribute(k, attrs[k]); if (parent) parent.appendChild(e); return e; }

(function legend(){
  const box = document.getElementById("legend");
  for (const c of [0,1,5,2,3,4,6,7]) {
    const d = document.createElement("div");
    d.innerHTML = '<i style="background:'+colourOf(c)+'"></i>'+NAMES[c];
    box.appendChild(d);
  }
  const o = document.createElement("div");
  o.innerHTML = '<i style="background:'+OTHER+'"></i>any other number: marked by the sender';
  box.appendChild(o);
  const l = document.createElement("div");
  l.innerHTML = '<svg width="28" height="11" style="border:0;display:inline;vertical-align:middle;background:none"><line x1="0" y1="6" x2="26" y2="6" stroke="#333" stroke-width="2"/></svg>client to its chosen node, with their distance in coordinates';
  box.appendChild(l);
})();

const svg = document.getElementById("map"), strip = document.getElementById("unplaced");
// Drawing order: lines, idle nodes and their labels, then marked nodes and
// theirs, so nothing idle covers a marked node.
const gEdges = el("g",{id:"edges"},svg), gNodes = el("g",{id:"nodes"},svg), gLabels = el("g",{id:"labels"},svg),
      gTop = el("g",{id:"top"},svg), gHotLabels = el("g",{id:"hot-labels"},svg);
let state = null, nodeKey = "", byName = new Map(), fitView = {k:1,tx:0,ty:0}, view = null, shownId = null;

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
  gNodes.textContent = ""; strip.textContent = ""; byName.clear();
  let col = 0, row = 0;
  const unplaced = state.nodes.filter(n => n.x === undefined);
  const rows = Math.max(1, Math.ceil(unplaced.length / 6));
  strip.setAttribute("height", 14+rows*26); strip.setAttribute("viewBox","0 0 760 "+(14+rows*26));
  document.getElementById("unplaced-title").textContent = "Nodes without coordinates ("+unplaced.length+")";
  strip.style.display = unplaced.length ? "block" : "none";
  for (const n of state.nodes) {
    const placed = n.x !== undefined;
    const c = el("circle",{id:"node-"+n.name,r:4},placed ? gNodes : strip);
    c.addEventListener("mouseenter", () => details(n.name));
    const rec = {n, c, placed, label:null};
    if (!placed) {
      const x = 14+col*125, y = 18+row*26;
      c.setAttribute("cx",x); c.setAttribute("cy",y); c.setAttribute("r",7);
      const t = el("text",{x:x+11,y:y+4},strip); t.textContent = n.name;
      if (++col === 6) { col = 0; row++; }
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

function drawNodes(pos, apart, marked){
  let visible = 0;
  for (const [name, r] of byName) {
    if (!r.placed) continue;
    const p = pos.get(name);
    if (p[0] >= 0 && p[0] <= W && p[1] >= 0 && p[1] <= H) visible++;
  }
  const labelAll = visible <= LABEL_LIMIT;
  for (const [name, r] of byName) {
    const shown = marked.has(name) ? marked.get(name) : 0;
    const c = r.c;
    c.setAttribute("data-colour", String(r.n.colour));
    c.setAttribute("data-role", ROLE[shown] || ("colour-"+shown));
    c.setAttribute("fill", colourOf(shown));
    c.setAttribute("data-apart", apart.has(name) ? "1" : "0");
    if (!r.placed) { c.setAttribute("stroke", shown ? "#000" : "none"); continue; }
    const p = pos.get(name);
    c.setAttribute("cx", p[0].toFixed(1)); c.setAttribute("cy", p[1].toFixed(1));
    const hot = shown !== 0;
    c.setAttribute("r", hot ? 8 : 4);
    c.setAttribute("stroke", hot ? "#000" : "none"); c.setAttribute("stroke-width", hot ? 1.5 : 0);
    c.setAttribute("opacity", hot ? 1 : 0.75);
    // Marked nodes are drawn last, above the idle ones.
    if (hot) gTop.appendChild(c); else if (c.parentNode !== gNodes) gNodes.appendChild(c);
    if (hot || labelAll) {
      const t = el("text",{x:(p[0]+11).toFixed(1), y:(p[1]+4).toFixed(1), "data-node":name}, hot ? gHotLabels : gLabels);
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
      t.setAttribute("x", (mx+(nx > 0 ? 12 : -12)).toFixed(1)); t.setAttribute("y", (my+4).toFixed(1));
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
      lab.setAttribute("text-anchor", left ? "end" : "start");
      lab.setAttribute("x", (p[0]+(left ? -11 : 11)).toFixed(1));
    }
  }
}

function showStatus(){
  const unplaced = state.nodes.filter(n => n.x === undefined).length;
  document.getElementById("status").textContent =
    "update "+state.version+" \u00b7 "+state.nodes.length+" nodes, "+(state.nodes.length-unplaced)+" placed, "+unplaced+" without coordinates \u00b7 "+
    state.nodes.filter(n => n.colour).length+" coloured now";
  document.getElementById("projection").textContent = state.dims > 2 ?
    "All "+state.dims+" coordinate dimensions are shown on the plane that keeps the most of their spread ("+Math.round(state.kept*100)+"%): distances on screen are true distances with the rest left out, never longer." :
    "Coordinates have "+state.dims+" dimension"+(state.dims===1?"":"s")+": shown as they are, rotated to their main axes.";
}

function render(){
  if (!state) return;
  const key = state.nodes.map(n => n.name+":"+n.x+","+n.y).join("|");
  if (key !== nodeKey) { nodeKey = key; buildNodes(); fit(); if (!view) view = {...fitView}; }
  for (const n of state.nodes) { const r = byName.get(n.name); if (r) r.n = n; }
  const search = shownSearch();
  const marked = new Map();   // node -> colour in the search shown
  if (search) for (const m of search.marks) marked.set(m.node, m.colour);
  const choices = search ? search.choices : [];
  const {pos, apart} = screenPositions(choices);
  gEdges.textContent = ""; gLabels.textContent = ""; gHotLabels.textContent = "";
  drawNodes(pos, apart, marked);
  drawChoices(choices, pos);
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
    li.className = "search"+(search && s.id === search.id ? " shown" : "");
    li.setAttribute("data-search-id", s.id);
    li.textContent = clock(s.started)+"  #"+s.id+"  "+describe(s)+(s.ended===null ? "  (in progress)" : "  (ended "+clock(s.ended)+")");
    li.addEventListener("click", () => { document.getElementById("follow").checked = false; shownId = s.id; render(); });
    list.appendChild(li);
  }
}

function details(name){
  const r = byName.get(name); if (!r) return;
  const n = r.n, lines = [name];
  lines.push("colour now: "+n.colour+" ("+(ROLE[n.colour]||"marked")+")");
  lines.push(n.coords.length ? "coordinates: "+n.coords.join(" ") : "coordinates: none in the file");
  if (r.placed) lines.push("on the plane: "+fmt(n.x)+", "+fmt(n.y));
  const s = shownSearch();
  if (s) for (const c of s.choices) {
    if (c.client === name) lines.push("chosen node: "+c.chosen+(c.distance===null?"":", distance "+fmt(c.distance)));
    if (c.chosen === name) lines.push("chosen for "+(c.client||"?")+(c.distance===null?"":", distance "+fmt(c.distance)));
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
