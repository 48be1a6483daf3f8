// Draws a perfprobe report's charts from the data in #perfprobe-data, with
// uPlot: one row per chart, one chart per recording in each row, all on one
// time axis. A zoom on any chart zooms all of them; the cursor moves on all
// of them at once; the markers stand on every chart.
(function () {
  'use strict';
  const started = performance.now();
  const data = JSON.parse(document.getElementById('perfprobe-data').textContent);
  const host = document.getElementById('charts');
  const palette = ['#1f77b4', '#d62728', '#2ca02c', '#9467bd', '#8c564b', '#17becf',
                   '#bcbd22', '#7f7f7f'];
  const markColors = { 'jank': '#ff8c00', 'big jank': '#d62728' };
  const full = { min: 0, max: data.duration > 0 ? data.duration : 1 };
  const charts = [];

  // "1:05" or "2:00:00"; with decimals, the seconds' fraction too ("1:05.2").
  function clock(s, decimals) {
    if (s == null) return '';
    const d = decimals || 0;
    const scale = Math.pow(10, d);
    const whole = Math.round(s * scale) / scale;
    const h = Math.floor(whole / 3600);
    const m = Math.floor(whole / 60) % 60;
    const sec = (whole % 60).toFixed(d).padStart(d > 0 ? d + 3 : 2, '0');
    return h > 0 ? h + ':' + String(m).padStart(2, '0') + ':' + sec : m + ':' + sec;
  }

  // Every chart shows the range of the one that changed.
  let syncing = false;
  function zoomAll(min, max) {
    if (syncing) return;
    syncing = true;
    for (const c of charts) {
      const x = c.plot.scales.x;
      if (x.min !== min || x.max !== max) c.plot.setScale('x', { min: min, max: max });
    }
    syncing = false;
  }

  // The markers of a recording: a line and its label over the plot, placed
  // again whenever the chart draws.
  function markersPlugin(marks) {
    let nodes = [];
    return {
      hooks: {
        init: function (u) {
          nodes = marks.map(function (mark) {
            const node = document.createElement('div');
            node.className = 'marker';
            node.dataset.t = String(mark.t);
            const label = document.createElement('span');
            label.textContent = mark.label;
            node.title = clock(mark.t, 1) + ' ' + mark.label;
            node.appendChild(label);
            u.over.appendChild(node);
            return node;
          });
        },
        draw: function (u) {
          const width = u.over.clientWidth;
          marks.forEach(function (mark, i) {
            const left = u.valToPos(mark.t, 'x');
            nodes[i].style.display = left >= 0 && left <= width ? '' : 'none';
            nodes[i].style.left = left + 'px';
          });
        },
      },
    };
  }

  function seriesOptions(line, i) {
    const color = markColors[line.label] || palette[i % palette.length];
    const options = {
      label: line.label,
      scale: line.scale,
      stroke: color,
      width: line.style === 'dashed' ? 1 : 1.5,
      value: function (u, v) {
        return v == null ? '—' : v.toFixed(line.decimals) + ' ' + line.unit;
      },
    };
    if (line.style === 'dashed') options.dash = [6, 4];
    if (line.style === 'points') {
      options.paths = function () { return null; };
      options.points = { show: true, size: 7, stroke: color, fill: color };
    }
    return options;
  }

  function hasValue(lines) {
    return lines.some(function (line) {
      return line.values.some(function (v) { return v != null; });
    });
  }

  function chartWidth(cell) {
    return Math.max(280, Math.floor(cell.getBoundingClientRect().width));
  }

  function draw(chart, rec, cell) {
    const lines = rec.charts[chart.id] || [];
    if (rec.t.length === 0 || !hasValue(lines)) {
      const none = document.createElement('div');
      none.className = 'not-recorded';
      none.textContent = 'not recorded';
      cell.appendChild(none);
      return;
    }
    const axes = [
      // Ticks closer than a second apart, on a chart zoomed in, show tenths.
      { values: function (u, splits, axis, space, incr) {
        return splits.map(function (v) { return clock(v, incr < 1 ? 1 : 0); });
      } },
      { scale: 'y', label: chart.unit, size: 60 },
    ];
    const scales = { x: { time: false }, y: {} };
    if (chart.percentAxis && lines.some(function (l) { return l.scale === 'pct'; })) {
      scales.pct = { range: [0, 100] };
      axes.push({ scale: 'pct', side: 1, label: '%', size: 50, grid: { show: false } });
    }
    if (chart.unit === '%') scales.y = { range: [0, 100] };
    const plot = new uPlot({
      width: chartWidth(cell),
      height: 240,
      scales: scales,
      axes: axes,
      series: [{ label: 'time', value: function (u, v) { return clock(v, 1); } }]
        .concat(lines.map(seriesOptions)),
      cursor: {
        sync: { key: 'perfprobe', setSeries: false },
        drag: { x: true, y: false },
        bind: {
          // The whole run of every recording, not only this chart's.
          dblclick: function () {
            return function () {
              zoomAll(full.min, full.max);
              return null;
            };
          },
        },
      },
      hooks: {
        setScale: [function (u, key) {
          if (key === 'x') zoomAll(u.scales.x.min, u.scales.x.max);
        }],
      },
      plugins: [markersPlugin(rec.marks)],
    }, [rec.t].concat(lines.map(function (l) { return l.values; })), cell);
    charts.push({ chart: chart.id, recording: rec.name, plot: plot, cell: cell });
  }

  data.charts.forEach(function (chart) {
    const section = document.createElement('section');
    section.className = 'chart-row';
    section.id = 'chart-' + chart.id;
    const heading = document.createElement('h2');
    heading.textContent = chart.title;
    section.appendChild(heading);
    const grid = document.createElement('div');
    grid.className = 'chart-grid';
    grid.style.gridTemplateColumns = 'repeat(' + data.recordings.length + ', minmax(0, 1fr))';
    section.appendChild(grid);
    host.appendChild(section);
    data.recordings.forEach(function (rec) {
      const cell = document.createElement('div');
      cell.className = 'chart-cell';
      if (data.recordings.length > 1) {
        const name = document.createElement('div');
        name.className = 'cell-name';
        name.textContent = rec.name;
        cell.appendChild(name);
      }
      grid.appendChild(cell);
      draw(chart, rec, cell);
    });
  });
  zoomAll(full.min, full.max);

  window.addEventListener('resize', function () {
    for (const c of charts) c.plot.setSize({ width: chartWidth(c.cell), height: 240 });
  });

  // For whoever reads the page back: the charts, and when they were drawn
  // (since the page began to load, and of that the script's part).
  const report = { charts: charts, full: full, drawnMs: null, scriptMs: null };
  window.perfprobeReport = report;
  requestAnimationFrame(function () {
    report.scriptMs = performance.now() - started;
    report.drawnMs = performance.now();
    document.body.dataset.drawn = 'true';
  });
})();
