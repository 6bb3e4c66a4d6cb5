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
[hidden]{display:none!important}
nav{display:flex;gap:4px}
nav button,.tools button,.tools select,.tools input,.pbar button{background:var(--panel2);
color:var(--text);border:1px solid var(--line);border-radius:8px;padding:4px 11px;font:inherit}
nav button.on{background:var(--text);color:var(--bg)}
.cam .latest{float:right;color:var(--dim);text-decoration:none}
.cam .latest:hover{color:var(--text)}
#review{padding:16px 18px;max-width:1900px;margin:0 auto}
.tools{display:flex;gap:10px;align-items:center;flex-wrap:wrap;margin-bottom:12px;color:var(--dim)}
#bars{display:grid;gap:6px;margin-bottom:14px}
.bar{display:grid;grid-template-columns:44px 1fr;align-items:center;gap:8px;font-size:12px}
.track{position:relative;height:22px;background:var(--panel);border:1px solid var(--line);
border-radius:6px;overflow:hidden;background-image:linear-gradient(90deg,var(--line) 1px,
transparent 1px);background-size:calc(100%/24) 100%}
.track i{position:absolute;top:3px;bottom:3px;min-width:3px;background:var(--hot);
border-radius:2px;cursor:pointer;opacity:.85}
.track i:hover{opacity:1;outline:1px solid #fff}
#cards{display:grid;grid-template-columns:repeat(auto-fill,minmax(220px,1fr));gap:12px}
.card{background:var(--panel);border:1px solid var(--line);border-radius:10px;overflow:hidden;
cursor:pointer;text-decoration:none;color:inherit}
.card:hover{border-color:var(--dim)}
.card .pic{aspect-ratio:4/3;background:#05060a;display:block;width:100%;object-fit:cover}
.card .pic.loaded{background:none}
.card .meta{padding:7px 10px;font-size:12px;display:flex;gap:8px;flex-wrap:wrap}
.card .meta b{color:var(--hot)}
.card .meta span{color:var(--dim)}
.card.kept{border-color:var(--ok)}
#more{padding:18px;text-align:center;color:var(--dim)}
#player{position:fixed;inset:0;z-index:5;background:rgba(0,0,0,.86);display:flex;
flex-direction:column;align-items:center;justify-content:center;gap:10px;padding:18px}
#player video,#player img{max-width:min(1200px,96vw);max-height:74vh;background:#000;
border-radius:8px}
.pbar{display:flex;gap:8px;align-items:center;flex-wrap:wrap;justify-content:center}
#pinfo{color:var(--dim);font-size:13px;text-align:center}
#ptime{font-variant-numeric:tabular-nums;min-width:64px;display:inline-block}
</style>
</head>
<body>
<header><div class="logo" id="logo"><i></i>CAMWATCH</div>
<nav><button id="tolive" class="on">Live</button><button id="toreview">Review</button></nav>
<div id="meta">connecting…</div></header>
<main id="live">
<section id="grid"></section>
<aside><h2>Recent events</h2><ul id="events"><li class="empty">No events yet</li></ul></aside>
</main>
<section id="review" hidden>
<div class="tools">
<label>Camera <select id="fcam"><option value="">all</option></select></label>
<label>Day <input type="date" id="fday"></label>
<label><input type="checkbox" id="fkept"> kept only</label>
<span id="rcount"></span>
</div>
<div id="bars"></div>
<div id="cards"></div>
<div id="more"></div>
</section>
<div id="player" hidden>
<div id="pstage"></div>
<div id="pinfo"></div>
<div class="pbar">
<button id="pprev" title="earlier event (←)">◀ earlier</button>
<button id="pplay" title="play / pause (space)">play / pause</button><span id="ptime"></span>
<button id="pnext" title="later event (→)">later ▶</button>
<button id="pkeep">keep</button><button id="pdel">delete</button>
<button id="pclose" title="close (Esc)">close</button>
</div>
</div>
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
  if (document.getElementById("live").hidden) {  // no streams while the review is shown
    img.onload = img.onerror = null;
    img.removeAttribute("src");
    t.mode = null;
    return;
  }
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
  const last = el("div", "last"), lastText = el("span"), link = el("a", "latest", "latest event →");
  link.hidden = true;
  last.append(lastText, link);
  root.append(view, info, last);
  t = {index: c.index, root, img, state, src, fps, last: lastText, link, seen: null, seenAt: 0};
  tiles.set(c.index, t);
  const after = [...tiles.keys()].filter(k => k > c.index).sort((a, b) => a - b)[0];
  grid.insertBefore(root, after === undefined ? null : tiles.get(after).root);
  feed(t);
  return t;
}
function update(c) {
  const t = tile(c);
  if (t.mode !== streams && R.view === "live") feed(t);
  t.state.textContent = c.state;
  t.state.className = "state " + c.state;
  t.src.textContent = c.source;
  t.src.title = c.source;
  t.fps.textContent = c.fps.toFixed(1) + " fps";
  const when = c.last_motion ? Date.parse(c.last_motion) : NaN;
  if (c.last_motion !== t.seen) {
    t.seen = c.last_motion;
    t.seenAt = t.seenAt ? Date.now() : 0;
    latestLink(t);
  }
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
// Event records: type start/end/lost/back, id, camera, start, and for ends end and frames.
function describe(e) {
  let x = e.type;
  if (e.type === "end") {
    x = "motion ended · " + e.frames + " frames · " +
        ((Date.parse(e.end) - Date.parse(e.start)) / 1000).toFixed(1) + " s";
  } else if (e.type === "start") {
    x = "motion started";
  } else if (e.type === "lost") {
    x = "camera lost: " + e.reason;
  } else if (e.type === "back") {
    x = "camera back";
  }
  return {c: e.camera, t: e.type === "end" ? e.end : e.start, x};
}
async function events() {
  try {
    const r = await fetch(url("/api/events", {since}), {cache: "no-store"});
    if (r.ok) {
      const list = await r.json();
      if (Array.isArray(list) && list.length) {
        for (const e of list) {
          const key = e.type + " " + e.id;
          if (seenIds.has(key)) continue;
          seenIds.add(key);
          shown.unshift(describe(e));
        }
        since = String(list[list.length - 1].id);
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
// ---- review: the event history ----
const R = {view: "live", items: [], byId: new Map(), next: undefined, loading: false, gen: 0,
           current: null, flip: null, history: true};
const $ = id => document.getElementById(id);
function two(n) { return String(n).padStart(2, "0"); }
function dayText(d) { return d.getFullYear() + "-" + two(d.getMonth() + 1) + "-" + two(d.getDate()); }
function dur(e) { return e.end_ms ? ((e.end_ms - e.start_ms) / 1000).toFixed(1) + " s" : "ongoing"; }
function hashParams() { return new URLSearchParams(location.hash.slice(1)); }
function setView(v) {
  R.view = v;
  $("live").hidden = v !== "live";
  $("review").hidden = v !== "review";
  $("tolive").classList.toggle("on", v === "live");
  $("toreview").classList.toggle("on", v === "review");
  for (const t of tiles.values()) feed(t);
}
function filters() {
  const p = {limit: 24};
  if ($("fcam").value !== "") p.camera = $("fcam").value;
  if ($("fday").value) {
    const from = new Date($("fday").value + "T00:00:00"), to = new Date(from);
    to.setDate(to.getDate() + 1);
    p.from = from.getTime();
    p.to = to.getTime();
  }
  if ($("fkept").checked) p.kept = 1;
  return p;
}
function card(e) {
  const a = el("a", "card" + (e.keep ? " kept" : ""));
  a.href = "#event=" + e.id;
  a.dataset.id = e.id;
  const img = el("img", "pic");
  img.alt = "";
  img.loading = R.items.length > 24 ? "lazy" : "eager";  // the first screen at once
  img.onload = () => img.classList.add("loaded");
  img.src = url("/events/" + e.id + "/thumb.jpg");
  const meta = el("div", "meta");
  const size = e.largest ? e.largest.w + "×" + e.largest.h : "–";
  meta.append(el("b", "", "#" + e.camera), el("span", "", new Date(e.start_ms).toLocaleString()),
              el("span", "", dur(e)), el("span", "", size));
  a.append(img, meta);
  return a;
}
async function loadMore() {
  if (R.loading || R.next === null || !R.history) return;
  R.loading = true;
  const gen = R.gen;
  try {
    const p = filters();
    if (R.next) p.before = R.next;
    const r = await fetch(url("/api/events", p), {cache: "no-store"});
    const page = await r.json();
    if (gen !== R.gen) return;
    if (Array.isArray(page)) {  // a server without a history
      R.history = false;
      $("more").textContent = "This server keeps no event history (set EVENTDB or WEBPORT).";
      return;
    }
    for (const e of page.events) {
      if (R.byId.has(e.id)) continue;
      R.items.push(e);
      R.byId.set(e.id, e);
      $("cards").append(card(e));
    }
    R.next = page.next;
    $("rcount").textContent = R.items.length + (R.next ? "+" : "") + " events";
    $("more").textContent = R.next ? "loading…" : R.items.length ? "" : "No events";
  } catch (err) {
    $("more").textContent = "cannot load events";
  } finally {
    if (gen === R.gen) R.loading = false;
  }
  if (R.next && gen === R.gen && moreVisible()) loadMore();
}
function moreVisible() {
  const r = $("more").getBoundingClientRect();
  return r.top < innerHeight + 400;
}
async function loadBars() {
  const day = $("fday").value || dayText(new Date());
  const p = {day};
  if ($("fcam").value !== "") p.camera = $("fcam").value;
  const bars = $("bars");
  try {
    const r = await fetch(url("/api/timeline", p), {cache: "no-store"});
    if (!r.ok) { bars.replaceChildren(); return; }
    const t = await r.json(), span = t.to_ms - t.from_ms, per = new Map();
    for (const [id, cam, start, end] of t.events) {
      if (!per.has(cam)) per.set(cam, []);
      per.get(cam).push([id, start, end]);
    }
    bars.replaceChildren(...[...per.keys()].sort((a, b) => a - b).map(cam => {
      const row = el("div", "bar"), track = el("div", "track");
      for (const [id, start, end] of per.get(cam)) {
        const m = el("i");
        m.style.left = ((start - t.from_ms) / span * 100) + "%";
        m.style.width = (((end || start) - start) / span * 100) + "%";
        m.title = "#" + cam + " " + new Date(start).toLocaleTimeString();
        m.onclick = () => { location.hash = "event=" + id; };
        track.append(m);
      }
      row.append(el("span", "", "#" + cam), track);
      return row;
    }));
  } catch (err) {}
}
function reload() {
  R.gen++;
  R.items = [];
  R.byId.clear();
  R.next = undefined;
  R.loading = false;
  $("cards").replaceChildren();
  loadMore();
  loadBars();
}
function stopFlip() { if (R.flip) { clearInterval(R.flip.timer); R.flip = null; } }
function playing() {
  const v = $("pstage").querySelector("video");
  return v ? !v.paused : !!(R.flip && R.flip.timer);
}
function togglePlay() {
  const v = $("pstage").querySelector("video");
  if (v) { v.paused ? v.play() : v.pause(); return; }
  if (!R.flip) return;
  if (R.flip.timer) { clearInterval(R.flip.timer); R.flip.timer = 0; } else flipOn();
}
function flipOn() {
  const f = R.flip;
  f.timer = setInterval(() => {
    f.k = (f.k + 1) % f.n;
    f.img.src = url("/events/" + f.id + "/snapshots/" + f.k + ".jpg");
    $("ptime").textContent = (f.k + 1) + " / " + f.n;
  }, f.ms);
}
function showEvent(e) {
  R.current = e;
  stopFlip();
  const stage = $("pstage");
  const start = (e.clip_offset_ms || 0) / 1000;
  if (e.clip) {
    const v = el("video");
    v.controls = true;
    v.muted = true;
    v.autoplay = true;
    v.playsInline = true;
    v.preload = "auto";
    v.src = url("/events/" + e.id + "/clip.mp4");
    v.addEventListener("loadedmetadata", () => { v.currentTime = start; v.play().catch(() => {}); });
    v.addEventListener("timeupdate", () => {
      $("ptime").textContent = v.currentTime.toFixed(2) + " s";
      v.dataset.time = v.currentTime;
    });
    stage.replaceChildren(v);
  } else if (e.snapshots > 0) {
    const img = el("img");
    img.src = url("/events/" + e.id + "/snapshots/0.jpg");
    stage.replaceChildren(img);
    const ms = e.end_ms ? (e.end_ms - e.start_ms) / e.snapshots : 200;
    R.flip = {id: e.id, n: e.snapshots, k: 0, img, ms: Math.min(1000, Math.max(40, ms)), timer: 0};
    $("ptime").textContent = "1 / " + e.snapshots;
    flipOn();
  } else {
    const img = el("img");
    img.src = url("/events/" + e.id + "/thumb.jpg");
    stage.replaceChildren(img);
    $("ptime").textContent = "";
  }
  $("pinfo").textContent = "camera #" + e.camera + " · " + new Date(e.start_ms).toLocaleString() +
      " · " + dur(e) + " · " + e.frames + " frames" +
      (e.largest ? " · largest " + e.largest.w + "×" + e.largest.h : "");
  $("pkeep").textContent = e.keep ? "kept ✓" : "keep";
  $("player").hidden = false;
}
async function openEvent(id) {
  setView("review");
  let e = R.byId.get(id);
  try {
    const r = await fetch(url("/api/events/" + id), {cache: "no-store"});
    if (!r.ok) { $("pinfo").textContent = "no such event"; return; }
    e = await r.json();
  } catch (err) { if (!e) return; }
  showEvent(e);
}
function closePlayer() {
  stopFlip();
  $("pstage").replaceChildren();
  $("player").hidden = true;
  R.current = null;
  if (location.hash.startsWith("#event=")) history.replaceState(null, "", location.pathname + location.search + "#review");
}
async function step(dir) {  // +1: earlier, -1: later
  if (!R.current) return;
  let i = R.items.findIndex(e => e.id === R.current.id);
  if (i < 0) return;
  if (i + dir >= R.items.length && R.next) await loadMore();
  const e = R.items[i + dir];
  if (e) location.hash = "event=" + e.id;
}
function route() {
  const p = hashParams();
  if (p.has("event") && /^\d{1,18}$/.test(p.get("event"))) { openEvent(Number(p.get("event"))); return; }
  if (!$("player").hidden) closePlayer();
  if (p.has("review") || p.has("camera") || p.has("day")) {
    if (p.has("camera")) $("fcam").value = p.get("camera");
    if (p.has("day")) $("fday").value = p.get("day");
    setView("review");
  }
}
function ensureCameraOption(i) {
  const sel = $("fcam");
  if ([...sel.options].some(o => o.value === String(i))) return;
  const o = el("option", "", "#" + i);
  o.value = String(i);
  sel.append(o);
}
async function latestLink(t) {  // the live tile's link to its camera's newest event
  try {
    const r = await fetch(url("/api/events", {camera: t.index, limit: 1}), {cache: "no-store"});
    const page = await r.json();
    const e = page.events && page.events[0];
    t.link.hidden = !e;
    if (e) t.link.href = "#event=" + e.id;
  } catch (err) {}
}
$("tolive").onclick = () => { setView("live"); history.replaceState(null, "", location.pathname + location.search); };
$("toreview").onclick = () => { setView("review"); history.replaceState(null, "", "#review"); };
for (const id of ["fcam", "fday", "fkept"]) $(id).onchange = reload;
$("pclose").onclick = closePlayer;
$("pplay").onclick = togglePlay;
$("pprev").onclick = () => step(1);
$("pnext").onclick = () => step(-1);
$("pkeep").onclick = async () => {
  const e = R.current;
  if (!e) return;
  const r = await fetch(url("/api/events/" + e.id + "/keep", {keep: e.keep ? 0 : 1}), {method: "POST"});
  if (!r.ok) return;
  e.keep = !e.keep;
  $("pkeep").textContent = e.keep ? "kept ✓" : "keep";
  const c = $("cards").querySelector('[data-id="' + e.id + '"]');
  if (c) c.classList.toggle("kept", e.keep);
};
$("pdel").onclick = async () => {
  const e = R.current;
  if (!e || !confirm("Delete this event with its clip and pictures?")) return;
  const r = await fetch(url("/api/events/" + e.id), {method: "DELETE"});
  if (!r.ok) return;
  const i = R.items.findIndex(x => x.id === e.id);
  if (i >= 0) R.items.splice(i, 1);
  R.byId.delete(e.id);
  const c = $("cards").querySelector('[data-id="' + e.id + '"]');
  if (c) c.remove();
  const n = R.items[i] || R.items[i - 1];
  if (n) location.hash = "event=" + n.id; else closePlayer();
  loadBars();
};
document.addEventListener("keydown", ev => {
  if ($("player").hidden || ev.target.tagName === "INPUT" || ev.target.tagName === "SELECT") return;
  if (ev.key === "ArrowLeft") { step(1); ev.preventDefault(); }
  else if (ev.key === "ArrowRight") { step(-1); ev.preventDefault(); }
  else if (ev.key === " ") { togglePlay(); ev.preventDefault(); }
  else if (ev.key === "Escape") closePlayer();
});
new IntersectionObserver(entries => {
  if (entries.some(x => x.isIntersecting) && R.view === "review") loadMore();
}, {rootMargin: "400px"}).observe($("more"));
addEventListener("hashchange", route);
for (let i = 0; i < 10; ++i) ensureCameraOption(i);
route();
reload();
status();
events();
</script>
</body>
</html>
)page";

}  // namespace web
