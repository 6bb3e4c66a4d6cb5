// The page served on /: plain HTML, CSS and script, no build step and no outside resources.
#include "web/render.h"

namespace web {

const char kPage[] = R"page(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<meta name="color-scheme" content="dark">
<title>camwatch</title>
<style>
:root{--bg:#0d0f14;--panel:#161a22;--panel2:#1c212b;--line:#272d3a;--text:#e7e9ef;--dim:#8a93a6;
--ok:#3ecf8e;--warn:#f5a524;--off:#7b8394;--hot:#ff4d4f}
*{box-sizing:border-box}
html,body{margin:0;background:var(--bg);color:var(--text);
font:14px/1.45 system-ui,-apple-system,"Segoe UI",Roboto,"Helvetica Neue",Arial,sans-serif}
header{position:sticky;top:0;z-index:2;display:flex;align-items:center;gap:12px;flex-wrap:wrap;
padding:10px 18px;background:rgba(13,15,20,.92);border-bottom:1px solid var(--line);
backdrop-filter:blur(8px)}
.logo{display:flex;align-items:center;gap:8px;font-weight:700;letter-spacing:.06em;font-size:15px}
.logo i{width:10px;height:10px;border-radius:50%;background:var(--ok);box-shadow:0 0 8px var(--ok)}
.logo.down i{background:var(--hot);box-shadow:0 0 8px var(--hot)}
#meta{color:var(--dim);font-size:12px;margin-left:auto}
main{display:grid;grid-template-columns:minmax(0,1fr) 300px;gap:16px;padding:16px 18px;
max-width:1900px;margin:0 auto}
@media (max-width:960px){main{grid-template-columns:minmax(0,1fr);padding:10px}}
#grid{display:grid;grid-template-columns:repeat(auto-fill,minmax(min(100%,360px),1fr));gap:14px;
align-content:start}
.cam{background:var(--panel);border:1px solid var(--line);border-radius:12px;overflow:hidden;
transition:border-color .3s,box-shadow .3s}
.cam.motion{border-color:var(--hot);box-shadow:0 0 0 1px var(--hot),0 0 18px rgba(255,77,79,.25)}
.view{position:relative;aspect-ratio:16/9;background:#05060a}
.view img{position:absolute;inset:0;width:100%;height:100%;object-fit:contain}
.num{position:absolute;top:8px;left:8px;padding:2px 9px;border-radius:999px;font-weight:700;
font-size:12px;background:rgba(0,0,0,.62)}
.mark{position:absolute;top:8px;right:8px;display:none;align-items:center;gap:6px;padding:2px 9px;
border-radius:999px;font-size:11px;font-weight:700;letter-spacing:.05em;color:#fff;
background:rgba(255,77,79,.85)}
.mark::before{content:"";width:7px;height:7px;border-radius:50%;background:#fff;
animation:pulse 1s infinite}
.cam.motion .mark{display:flex}
@keyframes pulse{50%{opacity:.2}}
.novideo{position:absolute;inset:0;display:flex;align-items:center;justify-content:center;
color:var(--dim);font-size:13px}
.info{display:flex;align-items:center;gap:10px;padding:9px 12px;font-size:12px}
.src{flex:1;min-width:0;color:var(--dim);overflow:hidden;text-overflow:ellipsis;white-space:nowrap}
.fps{font-variant-numeric:tabular-nums;color:var(--text)}
.state{padding:1px 8px;border-radius:999px;font-size:10.5px;font-weight:700;
text-transform:uppercase;letter-spacing:.06em}
.state.running{color:var(--ok);background:rgba(62,207,142,.13)}
.state.lost{color:var(--warn);background:rgba(245,165,36,.13)}
.state.ended{color:var(--off);background:rgba(123,131,148,.15)}
.last{padding:0 12px 9px;font-size:11.5px;color:var(--dim)}
aside{background:var(--panel);border:1px solid var(--line);border-radius:12px;align-self:start;
position:sticky;top:64px;max-height:calc(100vh - 84px);display:flex;flex-direction:column}
aside h2{margin:0;padding:11px 14px;font-size:13px;letter-spacing:.06em;text-transform:uppercase;
border-bottom:1px solid var(--line);color:var(--dim)}
#events{list-style:none;margin:0;padding:6px;overflow:auto}
#events li{padding:7px 8px;border-radius:8px;display:grid;grid-template-columns:auto 1fr;gap:2px 8px}
#events li:nth-child(odd){background:var(--panel2)}
#events .c{font-weight:700;color:var(--hot)}
#events .t{color:var(--dim);font-size:11.5px;text-align:right}
#events .x{grid-column:1/3;overflow-wrap:anywhere}
#events .empty{display:block;color:var(--dim);background:none;text-align:center;padding:18px}
@media (max-width:960px){aside{position:static;max-height:50vh}}
</style>
</head>
<body>
<header><div class="logo" id="logo"><i></i>CAMWATCH</div><div id="meta">connecting…</div></header>
<main>
<section id="grid"></section>
<aside><h2>Recent events</h2><ul id="events"><li class="empty">No events yet</li></ul></aside>
</main>
<script>
"use strict";
const token = new URLSearchParams(location.search).get("token");
function url(path, params) {
  const p = new URLSearchParams(params || {});
  if (token) p.set("token", token);
  const s = p.toString();
  return path + (s ? "?" + s : "");
}
const grid = document.getElementById("grid");
const tiles = new Map();
let streams = true;  // browsers allow six connections to a host: many cameras poll stills

function el(tag, cls, text) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined) e.textContent = text;
  return e;
}
function ago(ms) {
  const s = Math.max(0, Math.round(ms / 1000));
  if (s < 60) return s + " s ago";
  if (s < 3600) return Math.floor(s / 60) + " min ago";
  if (s < 86400) return Math.floor(s / 3600) + " h ago";
  return Math.floor(s / 86400) + " d ago";
}
function feed(t) {
  const img = t.img, i = t.index;
  clearTimeout(t.retry);
  img.onerror = () => { t.retry = setTimeout(() => feed(t), 2000); };
  if (streams) {
    img.onload = null;
    img.src = url("/cam/" + i + "/stream.mjpg", {v: Date.now()});
  } else {
    img.onload = () => { t.retry = setTimeout(() => feed(t), 150); };
    img.src = url("/cam/" + i + "/latest.jpg", {v: Date.now()});
  }
  t.mode = streams;
}
function tile(c) {
  let t = tiles.get(c.index);
  if (t) return t;
  const root = el("article", "cam"), view = el("div", "view");
  const img = el("img");
  img.alt = "Camera " + c.index;
  view.append(el("div", "novideo", "waiting for video…"), img, el("div", "num", "#" + c.index),
              el("div", "mark", "MOTION"));
  const info = el("div", "info");
  const state = el("span", "state"), src = el("span", "src"), fps = el("span", "fps");
  info.append(state, src, fps);
  const last = el("div", "last");
  root.append(view, info, last);
  t = {index: c.index, root, img, state, src, fps, last, seen: null, seenAt: 0};
  tiles.set(c.index, t);
  const after = [...tiles.keys()].filter(k => k > c.index).sort((a, b) => a - b)[0];
  grid.insertBefore(root, after === undefined ? null : tiles.get(after).root);
  feed(t);
  return t;
}
function update(c) {
  const t = tile(c);
  if (t.mode !== streams) feed(t);
  t.state.textContent = c.state;
  t.state.className = "state " + c.state;
  t.src.textContent = c.source;
  t.src.title = c.source;
  t.fps.textContent = c.fps.toFixed(1) + " fps";
  const when = c.last_motion ? Date.parse(c.last_motion) : NaN;
  if (c.last_motion !== t.seen) { t.seen = c.last_motion; t.seenAt = t.seenAt ? Date.now() : 0; }
  const recent = !isNaN(when) && (Date.now() - when < 15000 || Date.now() - t.seenAt < 15000);
  t.root.classList.toggle("motion", recent && c.state === "running");
  t.last.textContent = isNaN(when) ? "no motion yet" : "last motion " + ago(Date.now() - when) +
      " · " + new Date(when).toLocaleTimeString();
}
function uptime(s) {
  const d = Math.floor(s / 86400), h = Math.floor(s % 86400 / 3600), m = Math.floor(s % 3600 / 60);
  return d ? d + "d " + h + "h" : h ? h + "h " + m + "m" : m + "m " + (s % 60) + "s";
}
async function status() {
  try {
    const r = await fetch(url("/api/status"), {cache: "no-store"});
    if (!r.ok) throw new Error(r.status);
    const s = await r.json();
    streams = s.cameras.length <= 4;
    const live = new Set();
    for (const c of s.cameras) { update(c); live.add(c.index); }
    for (const [i, t] of tiles) if (!live.has(i)) { t.img.src = ""; t.root.remove(); tiles.delete(i); }
    document.getElementById("meta").textContent = s.cameras.length + " camera" +
        (s.cameras.length === 1 ? "" : "s") + " · up " + uptime(s.uptime_s) + " · v" + s.version;
    document.getElementById("logo").classList.remove("down");
  } catch (e) {
    document.getElementById("meta").textContent = "server unreachable";
    document.getElementById("logo").classList.add("down");
  }
  setTimeout(status, 1000);
}
let since = "";
const shown = [], seenIds = new Set();
function describe(e) {
  if (typeof e !== "object" || e === null) return {x: String(e)};
  const cam = e.camera ?? e.cam ?? e.index;
  const time = e.time ?? e.ts ?? e.timestamp ?? e.start;
  let text = e.text ?? e.message ?? e.summary ?? e.kind ?? e.type;
  if (text === undefined) {
    const rest = Object.assign({}, e);
    for (const k of ["id", "camera", "cam", "index", "time", "ts", "timestamp", "start"]) delete rest[k];
    text = JSON.stringify(rest);
  }
  return {c: cam, t: time, x: String(text)};
}
async function events() {
  try {
    const r = await fetch(url("/api/events", since ? {since} : {}), {cache: "no-store"});
    if (r.ok) {
      const list = await r.json();
      if (Array.isArray(list) && list.length) {
        for (const e of list) {
          const id = e && e.id !== undefined ? String(e.id) : null;
          if (id !== null && seenIds.has(id)) continue;
          if (id !== null) seenIds.add(id);
          shown.unshift(describe(e));
        }
        const lastId = list[list.length - 1] && list[list.length - 1].id;
        if (lastId !== undefined) since = String(lastId);
        shown.length = Math.min(shown.length, 60);
        const ul = document.getElementById("events");
        ul.replaceChildren(...shown.map(d => {
          const li = el("li");
          li.append(el("span", "c", d.c === undefined ? "" : "#" + d.c),
                    el("span", "t", d.t === undefined ? "" :
                       (isNaN(Date.parse(d.t)) ? String(d.t) : new Date(d.t).toLocaleTimeString())),
                    el("span", "x", d.x));
          return li;
        }));
      }
    }
  } catch (e) {}
  setTimeout(events, 2000);
}
status();
events();
</script>
</body>
</html>
)page";

}  // namespace web
