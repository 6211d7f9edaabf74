// The set monitor page: the servers the monitor hears, the health of every watched subject,
// their rate and frame interval over the last minute, and their live skeletons in 3-D. The
// monitor pushes its whole state over a WebSocket; the page only draws it (and asks the monitor
// to watch or stop watching a subject). Names come from the network: they only ever become
// text, never markup.

import * as THREE from 'three';
import { OrbitControls } from '/lib/OrbitControls.js';

const kHistorySeconds = 60;
const kReconnectMs = [250, 500, 1000, 2000];

// What the tests and the figures read: every state applied, with when it was drawn.
const probe = { states: 0, bytes: 0, updates: [], lastState: null };
window.telmoraMonitor = probe;

const $ = (id) => document.getElementById(id);
function element(tag, className, text) {
  const e = document.createElement(tag);
  if (className) e.className = className;
  if (text !== undefined) e.textContent = text;
  return e;
}
const streamKey = (s) => JSON.stringify([s.server, s.ip, s.subject]);

// ---- 3-D view -------------------------------------------------------------------------------

const scene = new THREE.Scene();
scene.background = new THREE.Color(0x0d0f12);
scene.add(new THREE.GridHelper(20, 20, 0x5f6b7a, 0x2c333c));  // 1 m squares
const camera = new THREE.PerspectiveCamera(45, 1, 0.05, 200);
camera.position.set(2.6, 1.7, 3.4);
const renderer = new THREE.WebGLRenderer({ antialias: true, preserveDrawingBuffer: false });
renderer.setPixelRatio(window.devicePixelRatio);
$('scene').appendChild(renderer.domElement);
const controls = new OrbitControls(camera, renderer.domElement);
controls.target.set(0, 1, 0);
controls.update();

let drawPending = false;
function requestDraw() {
  if (drawPending) return;
  drawPending = true;
  requestAnimationFrame(() => {
    drawPending = false;
    renderer.render(scene, camera);
    const drawn = performance.timeOrigin + performance.now();
    for (const u of pendingUpdates) u.drawnMs = drawn;
    pendingUpdates.length = 0;
  });
}
controls.addEventListener('change', requestDraw);
function resize() {
  const box = $('scene').getBoundingClientRect();
  renderer.setSize(box.width, box.height, true);
  camera.aspect = box.width / Math.max(1, box.height);
  camera.updateProjectionMatrix();
  requestDraw();
}
new ResizeObserver(resize).observe($('scene'));

// One skeleton per watched stream: bones as lines from each joint to its parent, joints as dots.
const skeletons = new Map();  // stream id -> {lines, joints}
function skeletonFor(stream) {
  let s = skeletons.get(stream.id);
  if (s) return s;
  const colour = new THREE.Color(stream.colour);
  const lines = new THREE.LineSegments(new THREE.BufferGeometry(),
                                       new THREE.LineBasicMaterial({ color: colour }));
  const joints = new THREE.Points(new THREE.BufferGeometry(),
                                  new THREE.PointsMaterial({ color: colour, size: 5, sizeAttenuation: false }));
  lines.frustumCulled = joints.frustumCulled = false;
  scene.add(lines, joints);
  s = { lines, joints };
  skeletons.set(stream.id, s);
  return s;
}
function poseSkeleton(stream) {
  const s = skeletonFor(stream);
  const n = stream.parents.length;
  const joints = new Float32Array(n * 3);
  for (let i = 0; i < n * 3; ++i) joints[i] = stream.bones[i] / 100;  // cm -> m
  const segments = [];
  for (let b = 0; b < n; ++b) {
    const p = stream.parents[b];
    if (p < 0 || p >= n) continue;
    segments.push(joints[b * 3], joints[b * 3 + 1], joints[b * 3 + 2],
                  joints[p * 3], joints[p * 3 + 1], joints[p * 3 + 2]);
  }
  s.lines.geometry.setAttribute('position', new THREE.Float32BufferAttribute(segments, 3));
  s.joints.geometry.setAttribute('position', new THREE.BufferAttribute(joints, 3));
  s.lines.visible = s.joints.visible = n > 0;
}
function dropSkeletons(keep) {
  for (const [id, s] of skeletons) {
    if (keep.has(id)) continue;
    scene.remove(s.lines, s.joints);
    s.lines.geometry.dispose(); s.joints.geometry.dispose();
    skeletons.delete(id);
  }
}

// ---- plots ----------------------------------------------------------------------------------

const history = [];  // samples of the last minute: {t, streams: {id: [rateHz, intervalMs]}}
const plots = { rate: null, interval: null, ids: '' };
function makePlot(target, unit, streams, column, floor) {
  const width = Math.max(200, $(target).getBoundingClientRect().width);
  const series = [{ label: 'Monitor time', value: (u, v) => (v == null ? '–' : v.toFixed(1) + ' s') }].concat(streams.map((s) => ({
    label: s.subject, stroke: s.colour, width: 1.5, spanGaps: false,
    value: (u, v) => (v == null ? '–' : v.toFixed(1) + ' ' + unit),
  })));
  $(target).textContent = '';
  return new uPlot({
    width, height: 160, series, legend: { show: true },
    scales: { x: { time: false, range: (u, min, max) => [Math.max(0, max - kHistorySeconds), Math.max(max, 1)] }, y: { range: (u, min, max) => [0, Math.max(floor, (max || 0) * 1.15)] } },
    axes: [{ stroke: '#9aa0a6', grid: { stroke: '#2c333c' }, values: (u, ts) => ts.map((t) => t.toFixed(0) + ' s') },
           { stroke: '#9aa0a6', grid: { stroke: '#2c333c' } }],
  }, plotData(streams, column), $(target));
}
function plotData(streams, column) {
  const xs = history.map((h) => h.t);
  return [xs].concat(streams.map((s) => history.map((h) => {
    const v = h.streams[s.id];
    return v ? v[column] : null;
  })));
}
function updatePlots(streams, newSamples) {
  const ids = streams.map((s) => s.id + s.colour).join();
  if (ids !== plots.ids || plots.rate === null) {
    plots.rate?.destroy(); plots.interval?.destroy();
    plots.rate = makePlot('ratePlot', 'Hz', streams, 0, 10);
    plots.interval = makePlot('intervalPlot', 'ms', streams, 1, 50);
    plots.ids = ids;
  } else if (newSamples) {
    plots.rate.setData(plotData(streams, 0));
    plots.interval.setData(plotData(streams, 1));
  }
}
new ResizeObserver(() => {
  for (const [plot, id] of [[plots.rate, 'ratePlot'], [plots.interval, 'intervalPlot']])
    plot?.setSize({ width: Math.max(200, $(id).getBoundingClientRect().width), height: 160 });
}).observe(document.querySelector('.plots'));

// ---- lists ----------------------------------------------------------------------------------

let socket = null;
function send(request) {
  if (socket && socket.readyState === WebSocket.OPEN) socket.send(JSON.stringify(request));
}
function watchButton(server, ip, subject, watching, label) {
  const b = element('button', watching ? 'watching' : '', label);
  b.title = watching ? 'Stop streaming this subject' : 'Watch this subject';
  b.onclick = () => send({ [watching ? 'unwatch' : 'watch']: { server, ip, subject } });
  return b;
}

function renderStreams(streams) {
  const list = $('streams');
  const seen = new Set();
  for (const s of streams) {
    const key = streamKey(s);
    seen.add(key);
    let card = list.querySelector(`[data-key="${CSS.escape(key)}"]`);
    if (!card) {
      card = element('div', 'stream');
      card.dataset.key = key;
      card.dataset.subject = s.subject;
      card.dataset.server = s.server;
      const title = element('div', 'title');
      title.append(element('span', 'light'), element('span', 'name', s.subject),
                   watchButton(s.server, s.ip, s.subject, true, 'Stop watching'));
      card.append(title, element('div', 'text'), element('div', 'where'));
      list.append(card);
    }
    card.className = 'stream ' + s.light;
    card.dataset.light = s.light;
    card.style.setProperty('--swatch', s.colour);
    card.querySelector('.light').className = 'light ' + s.light;
    card.querySelector('.text').textContent = s.text;
    card.querySelector('.where').textContent = `from ${s.server} at ${s.ip}:${s.port} · ${s.frames} frames`;
  }
  for (const card of [...list.querySelectorAll('.stream')])
    if (!seen.has(card.dataset.key)) card.remove();
  list.querySelector('.empty')?.toggleAttribute('hidden', streams.length > 0);
}

let serversShown = '';
function renderServers(servers, streams) {
  const watched = new Set(streams.map(streamKey));
  const shown = JSON.stringify([servers, [...watched]]);
  if (shown === serversShown) return;
  serversShown = shown;
  const list = $('servers');
  list.textContent = '';
  if (servers.length === 0) list.append(element('p', 'empty', 'No Telmora server heard yet.'));
  for (const server of servers) {
    const card = element('div', 'server');
    card.dataset.server = server.name;
    card.append(element('div', 'name', server.name),
                element('div', 'where', `${server.ip}:${server.port}`));
    const subjects = element('div', 'subjects');
    for (const subject of server.subjects)
      subjects.append(watchButton(server.name, server.ip, subject,
                                  watched.has(streamKey({ server: server.name, ip: server.ip, subject })), subject));
    card.append(subjects);
    list.append(card);
  }
}

// ---- state ----------------------------------------------------------------------------------

const pendingUpdates = [];
let rewatch = [];  // after the monitor restarted: what it watched before, until heard again
function applyState(state) {
  const received = performance.timeOrigin + performance.now();
  for (const h of state.history) history.push(h);
  while (history.length && history[history.length - 1].t - history[0].t > kHistorySeconds) history.shift();

  renderServers(state.servers, state.streams);
  renderStreams(state.streams);
  updatePlots(state.streams, state.history.length > 0);
  for (const s of state.streams) poseSkeleton(s);
  dropSkeletons(new Set(state.streams.map((s) => s.id)));
  requestDraw();

  if (rewatch.length) {
    const watching = new Set(state.streams.map(streamKey));
    rewatch = rewatch.filter((w) => !watching.has(streamKey(w)));
    for (const w of rewatch)
      if (state.servers.some((s) => s.name === w.server && s.ip === w.ip && s.subjects.includes(w.subject)))
        send({ watch: w });
  }

  probe.states += 1;
  probe.lastState = state;
  const update = { receivedMs: received, drawnMs: 0,
                   streams: state.streams.map((s) => ({ id: s.id, frames: s.frames, lastFrameMicros: s.lastFrameMicros })) };
  pendingUpdates.push(update);
  probe.updates.push(update);
  if (probe.updates.length > 20000) probe.updates.splice(0, 10000);
}

function showConnection(text, kind) {
  const c = $('connection');
  c.textContent = text;
  c.className = 'connection ' + (kind || '');
}

let noticeTimer = null;
function showNotice(text) {
  $('notice').textContent = text;
  clearTimeout(noticeTimer);
  noticeTimer = setTimeout(() => { $('notice').textContent = ''; }, 6000);
}

// ---- connection -----------------------------------------------------------------------------

let attempts = 0;
let everConnected = false;
function connect() {
  const token = new URLSearchParams(location.search).get('token');
  const url = `${location.protocol === 'https:' ? 'wss' : 'ws'}://${location.host}/ws` +
              (token ? '?token=' + encodeURIComponent(token) : '');
  socket = new WebSocket(url);
  socket.onopen = () => {
    attempts = 0;
    // A restarted monitor has an empty history; the page starts its plots over with it.
    history.length = 0;
    plots.ids = '';
    if (everConnected) {
      showConnection('Reconnected to the monitor', 'back');
      setTimeout(() => { if ($('connection').classList.contains('back')) showConnection('Connected to the monitor'); }, 4000);
    } else {
      showConnection('Connected to the monitor');
    }
    everConnected = true;
  };
  socket.onmessage = (event) => {
    probe.bytes += event.data.length;
    const message = JSON.parse(event.data);
    if (message.type === 'state') applyState(message);
    else if (message.type === 'notice') showNotice(message.text);
  };
  socket.onclose = () => {
    if (probe.lastState && rewatch.length === 0)
      rewatch = probe.lastState.streams.map((s) => ({ server: s.server, ip: s.ip, subject: s.subject }));
    const wait = kReconnectMs[Math.min(attempts, kReconnectMs.length - 1)];
    attempts += 1;
    showConnection(`Monitor unreachable: reconnecting (attempt ${attempts})…`, 'lost');
    setTimeout(connect, wait);
  };
}
connect();
