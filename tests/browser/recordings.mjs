// Recordings as `perfprobe monitor --record` writes them, made up from a
// seed, for the report's browser tests and its benchmark: a phone of eight
// CPUs in three clusters, a GPU, 40 thermal zones and a battery, and a game
// with its frames; or, with frameStats and clusters off, what a monitor of
// a daemon without frame and device statistics records (GET_FPS and
// GET_SIMPLE).
import { writeFileSync } from 'node:fs';

// The same numbers from the same seed, on every machine.
function random(seed) {
  let state = seed >>> 0 || 1;
  return () => {
    state ^= state << 13;
    state >>>= 0;
    state ^= state >>> 17;
    state ^= state << 5;
    state >>>= 0;
    return state / 4294967296;
  };
}

const kClusters = [
  { title: 'cpu0-3', name: 'cluster0-3', cpus: [0, 1, 2, 3], max: 1804800 },
  { title: 'cpu4-6', name: 'cluster4-6', cpus: [4, 5, 6], max: 2419200 },
  { title: 'cpu7', name: 'cluster7', cpus: [7], max: 2841600 },
];
const kZones = ['skin_therm', 'battery', 'xo_therm', 'gpuss_0', 'gpuss_1'];
for (let i = kZones.length; i < 40; ++i) kZones.push('cpu_' + i);

// The series' names and titles, in the order a monitor writes them.
function seriesOf(frameStats, clusters) {
  const s = [];
  const add = (name, title) => s.push({ name, title: title ?? name });
  if (frameStats) {
    add('fps', 'FPS');
    add('frames'); add('window_ms', 'window');
    add('frame_ms_p50', 'p50'); add('frame_ms_p95', 'p95'); add('frame_ms_max', 'max');
    add('jank'); add('big_jank', 'big jank'); add('missed_vsyncs', 'missed vsyncs');
    add('refresh_hz', 'refresh rate'); add('jank_ms', 'jank time');
  } else {
    add('fps', 'FPS');
  }
  for (let c = 0; c < 8; ++c) add(`cpu${c}_khz`, `cpu${c}`);
  if (!clusters) return s;
  for (const k of kClusters) add(`${k.name}_khz`, k.title);
  for (const k of kClusters) add(`${k.name}_max_khz`, `${k.title} max`);
  add('cpu_load_pct', 'CPU load');
  for (const k of kClusters) add(`${k.name}_load_pct`, `${k.title} load`);
  add('gpu_busy_pct', 'GPU busy');
  for (let c = 0; c < 8; ++c) add(`cpu${c}_load_pct`, `cpu${c}`);
  add('gpu_khz', 'GPU'); add('gpu_max_khz', 'GPU max');
  for (const z of kZones) add(`temp_${z}_c`, z);
  add('temp_hottest_c', 'hottest');
  add('battery_mw', 'power'); add('battery_pct', 'battery');
  add('battery_mv', 'battery'); add('battery_ma', 'battery');
  add('battery_temp_c', 'battery_temp'); add('mem_available_kb', 'mem_available');
  add('app_pids', 'app processes'); add('app_threads', 'app threads');
  add('app_cpu_pct', 'app CPU'); add('probe_cpu_pct', 'perfprobed CPU');
  add('app_rss_kb', 'app RSS'); add('probe_rss_kb', 'perfprobed RSS');
  add('uptime_ms', 'uptime');
  return s;
}

const round = (v, d) => Math.round(v * 10 ** d) / 10 ** d;

// { text, series, times, values: { name: [number|null] }, marks }.
export function makeRecording({
  samples, interval = 1, frameStats = true, clusters = true, marks = [], seed = 1,
  pkg = 'com.example.game', ended = true,
}) {
  const next = random(seed);
  const series = seriesOf(frameStats, clusters);
  const values = Object.fromEntries(series.map((s) => [s.name, []]));
  const times = [];
  let battery = 87;
  for (let k = 0; k < samples; ++k) {
    const t = round((k + 1) * interval + next() * 0.004, 3);
    times.push(t);
    const v = {};
    const hitch = next() < 0.08;
    const fps = hitch ? 30 + Math.floor(next() * 25) : 60 - Math.floor(next() * 2);
    const window = 1000 + Math.floor(next() * 4);
    if (frameStats) {
      const jank = hitch ? 1 + Math.floor(next() * 3) : 0;
      v.fps = round(fps * 1000 / window, 1);
      v.frames = fps; v.window_ms = window;
      v.frame_ms_p50 = round(16.6 + next() * 0.2, 2);
      v.frame_ms_p95 = round(hitch ? 33 + next() * 20 : 17 + next(), 2);
      v.frame_ms_max = round(hitch ? 60 + next() * 200 : 17.5 + next() * 2, 2);
      v.jank = jank; v.big_jank = hitch && next() < 0.3 ? 1 : 0; v.missed_vsyncs = jank * 2;
      v.refresh_hz = 60.0;
      v.jank_ms = round(jank * (30 + next() * 40), 2);
    } else {
      v.fps = fps;
    }
    const clock = [];
    for (const c of kClusters) {
      const khz = Math.floor(c.max * (0.3 + 0.7 * next()) / 100) * 100;
      for (const cpu of c.cpus) clock[cpu] = khz;
    }
    for (let c = 0; c < 8; ++c) v[`cpu${c}_khz`] = clock[c];
    if (clusters) {
      // The GPU has no clock now and then, as one that is off reads NA.
      const gpuOff = next() < 0.03;
      for (const c of kClusters) v[`${c.name}_khz`] = clock[c.cpus[0]];
      for (const c of kClusters) v[`${c.name}_max_khz`] = c.max;
      const loads = [];
      for (let c = 0; c < 8; ++c) loads.push(round(100 * next(), 1));
      v.cpu_load_pct = round(loads.reduce((a, b) => a + b) / 8, 1);
      for (const c of kClusters) {
        v[`${c.name}_load_pct`] = round(c.cpus.reduce((a, cpu) => a + loads[cpu], 0) / c.cpus.length, 1);
      }
      v.gpu_busy_pct = gpuOff ? null : round(100 * next(), 1);
      for (let c = 0; c < 8; ++c) v[`cpu${c}_load_pct`] = loads[c];
      v.gpu_khz = gpuOff ? null : 257000 + Math.floor(next() * 4) * 100000;
      v.gpu_max_khz = 680000;
      let hottest = null;
      kZones.forEach((z, i) => {
        const c = round(30 + (k / samples) * 15 + i * 0.1 + next(), 1);
        v[`temp_${z}_c`] = c;
        if (hottest === null || c > hottest) hottest = c;
      });
      v.temp_hottest_c = hottest;
      battery -= next() < 0.01 ? 1 : 0;
      v.battery_mw = -Math.floor(2500 + next() * 2000);
      v.battery_pct = battery; v.battery_mv = 3900; v.battery_ma = -Math.floor(900 + next() * 300);
      v.battery_temp_c = 31.5; v.mem_available_kb = 2900000;
      v.app_pids = 2; v.app_threads = 60;
      v.app_cpu_pct = round(10 + next() * 5, 1); v.probe_cpu_pct = round(next(), 1);
      v.app_rss_kb = 34000; v.probe_rss_kb = 1000; v.uptime_ms = 500000 + k * 1000;
    }
    for (const s of series) values[s.name].push(v[s.name] ?? null);
  }
  const lines = [JSON.stringify({
    perfprobe_recording: 1, device: { host: '127.0.0.1', port: 8080 }, package: pkg,
    start: '2026-12-11T03:00:00.000Z', interval_s: interval, series,
  })];
  let m = 0;
  for (let k = 0; k < samples; ++k) {
    while (m < marks.length && marks[m].t <= times[k]) {
      lines.push(JSON.stringify({ t: marks[m].t, mark: marks[m].label }));
      ++m;
    }
    lines.push(JSON.stringify({ t: times[k], v: series.map((s) => values[s.name][k]) }));
  }
  if (ended) lines.push(JSON.stringify({ summary: { samples } }));
  return { text: lines.join('\n') + '\n', series, times, values, marks };
}

// node recordings.mjs SAMPLES FILE: writes a recording of the whole phone.
if (import.meta.url === `file://${process.argv[1]}`) {
  const [samples, file] = process.argv.slice(2);
  writeFileSync(file, makeRecording({ samples: Number(samples) }).text);
}
