// page.h: the monitor's web page, served whole by the program (no CDN).
// Nodes are drawn in the first two coordinate dimensions; each circle is
// <circle id="node-ADDR" data-colour="N">, recoloured from server-sent events.
#ifndef ORVEL_TOOLS_PELMMON_PAGE_H_
#define ORVEL_TOOLS_PELMMON_PAGE_H_

namespace pelmmon {

inline const char* kPageHtml = R"HTML(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<title>Orvel coordinate monitor</title>
<style>
 body{font-family:sans-serif;margin:16px;background:#fafafa;color:#222}
 h1{font-size:18px;margin:0 0 8px}
 #status{font-size:12px;color:#666}
 svg{background:#fff;border:1px solid #ccc}
 text{font-size:10px;fill:#333}
 #legend span{display:inline-block;margin-right:12px;font-size:12px}
 #legend i{display:inline-block;width:10px;height:10px;border-radius:5px;margin-right:4px}
</style></head>
<body>
<h1>Orvel coordinate monitor</h1>
<div id="legend"></div>
<svg id="map" width="720" height="480" viewBox="0 0 720 480"></svg>
<div id="status">connecting...</div>
<script>
const PALETTE = {0:"#bbbbbb",1:"#d62728",2:"#ff7f0e",3:"#bcbd22",4:"#2ca02c",5:"#1f77b4",6:"#9467bd",7:"#8c564b"};
const NAMES = {0:"idle",1:"client",5:"selected proxy"};
function colourOf(c){ return PALETTE[c] || "#e377c2"; }
const legend = document.getElementById("legend");
for (const c of [0,1,5]) {
  const s = document.createElement("span");
  s.innerHTML = '<i style="background:'+colourOf(c)+'"></i>'+NAMES[c];
  legend.appendChild(s);
}
const svg = document.getElementById("map");
const NS = "http://www.w3.org/2000/svg";
let layout = null;
function place(nodes){
  const placed = nodes.filter(n => n.coords.length >= 2);
  let xs = placed.map(n => n.coords[0]), ys = placed.map(n => n.coords[1]);
  if (!xs.length) { xs=[0,1]; ys=[0,1]; }
  const minx=Math.min(...xs), maxx=Math.max(...xs), miny=Math.min(...ys), maxy=Math.max(...ys);
  const sx = (maxx-minx)||1, sy=(maxy-miny)||1;
  return n => {
    if (n.coords.length < 2) return null;
    return [40+(n.coords[0]-minx)/sx*560, 440-(n.coords[1]-miny)/sy*400];
  };
}
function render(state){
  const key = state.nodes.map(n => n.name+":"+n.coords.join(",")).join("|");
  if (!layout || layout.key !== key) {
    layout = {key, pos: place(state.nodes)};
    while (svg.firstChild) svg.removeChild(svg.firstChild);
    let unplaced = 0;
    for (const n of state.nodes) {
      let p = layout.pos(n);
      if (!p) { p = [20+unplaced*90, 470]; unplaced++; }
      const c = document.createElementNS(NS,"circle");
      c.setAttribute("id","node-"+n.name);
      c.setAttribute("cx",p[0]); c.setAttribute("cy",p[1]); c.setAttribute("r",9);
      svg.appendChild(c);
      const t = document.createElementNS(NS,"text");
      t.setAttribute("x",p[0]+12); t.setAttribute("y",p[1]+4);
      t.textContent = n.name;
      svg.appendChild(t);
    }
  }
  for (const n of state.nodes) {
    const c = document.getElementById("node-"+n.name);
    if (!c) continue;
    c.setAttribute("data-colour", String(n.colour));
    c.setAttribute("fill", colourOf(n.colour));
  }
  document.getElementById("status").textContent =
    "update "+state.version+", "+state.nodes.filter(n=>n.colour).length+" coloured";
  document.body.setAttribute("data-version", String(state.version));
}
const es = new EventSource("/events");
es.onmessage = ev => render(JSON.parse(ev.data));
es.onerror = () => { document.getElementById("status").textContent = "reconnecting..."; };
</script>
</body></html>
)HTML";

}  // namespace pelmmon

#endif  // ORVEL_TOOLS_PELMMON_PAGE_H_
