// Plain SVG charts for the players' page, built with DOM calls (no library, no markup strings:
// every label is a text node). Each chart is drawn for the width it is given, so its text stays
// readable on a phone; the page draws it again when that width changes.
'use strict';

var zts_charts = (function () {
  var svg_ns = 'http://www.w3.org/2000/svg';

  function node(tag, attrs, text) {
    var e = document.createElementNS(svg_ns, tag);
    for (var name in attrs) e.setAttribute(name, attrs[name]);
    if (text !== undefined) e.textContent = text;
    return e;
  }

  function svg(width, height, label) {
    return node('svg', {width: width, height: height, viewBox: '0 0 ' + width + ' ' + height,
                        role: 'img', 'aria-label': label, 'class': 'chart'});
  }

  // Grouped horizontal bars, one group per row: rows [{label, color, values: [number|null]}],
  // series [{name, color}] (one per value), format(value) for the value labels.
  function bars(rows, series, format, width, label) {
    var bar = 14, gap = 3, head = 18, group_gap = 12, legend = 24, value_room = 78;
    var plot = Math.max(60, width - value_room);
    var height = legend + rows.length * (head + series.length * (bar + gap) + group_gap);
    var max = 0;
    rows.forEach(function (r) {
      r.values.forEach(function (v) { if (v > max) max = v; });
    });
    var root = svg(width, height, label);
    var x = 0;
    series.forEach(function (s) {
      root.appendChild(node('rect', {x: x, y: 4, width: 12, height: 12, fill: s.color}));
      var text = node('text', {x: x + 16, y: 14, 'class': 'legend'}, s.name);
      root.appendChild(text);
      x += 16 + 8 * s.name.length + 18;
    });
    var y = legend;
    rows.forEach(function (r) {
      if (r.color) root.appendChild(node('circle', {cx: 6, cy: y + 8, r: 5, fill: r.color}));
      root.appendChild(node('text', {x: r.color ? 16 : 0, y: y + 13, 'class': 'row-label'},
                            r.label));
      y += head;
      r.values.forEach(function (v, i) {
        var w = v > 0 && max > 0 ? Math.max(2, Math.round(plot * v / max)) : 0;
        var g = node('g');
        g.appendChild(node('title', {}, series[i].name + ': ' + format(v)));
        g.appendChild(node('rect', {x: 0, y: y, width: w, height: bar, fill: series[i].color,
                                    rx: 2}));
        g.appendChild(node('text', {x: w + 4, y: y + bar - 3, 'class': 'value'}, format(v)));
        root.appendChild(g);
        y += bar + gap;
      });
      y += group_gap;
    });
    return root;
  }

  // Who moved when: one lane per player, a dot per turn at its time (hollow for the opening
  // phase), a line through the turns in order. lanes [{label, color}], points [{lane, time
  // (ms), title, hollow}], [from, to] the time range, tick(ms) the axis labels' text.
  function timeline(lanes, points, from, to, tick, width, label) {
    var lane = 22, left = Math.min(120, Math.round(width * 0.3)), right = 10, axis = 22;
    var height = lanes.length * lane + axis + 6;
    var span = Math.max(1, to - from);
    var plot = Math.max(40, width - left - right);
    var root = svg(width, height, label);
    function x_of(time) { return left + Math.round(plot * (time - from) / span); }
    lanes.forEach(function (l, i) {
      var y = i * lane + lane / 2;
      root.appendChild(node('line', {x1: left, x2: left + plot, y1: y, y2: y, 'class': 'lane'}));
      var text = node('text', {x: left - 6, y: y + 4, 'text-anchor': 'end', 'class': 'row-label'},
                      l.label.length > 14 ? l.label.slice(0, 13) + '…' : l.label);
      text.appendChild(node('title', {}, l.label));
      root.appendChild(text);
    });
    if (points.length > 1) {
      var path = points.map(function (p, i) {
        return (i ? 'L' : 'M') + x_of(p.time) + ' ' + (p.lane * lane + lane / 2);
      }).join(' ');
      root.appendChild(node('path', {d: path, 'class': 'path'}));
    }
    points.forEach(function (p) {
      var color = lanes[p.lane] && lanes[p.lane].color || '#D4D6AC';
      var dot = node('circle', {cx: x_of(p.time), cy: p.lane * lane + lane / 2, r: 4,
                                fill: p.hollow ? 'none' : color, stroke: color,
                                'stroke-width': 2});
      dot.appendChild(node('title', {}, p.title));
      root.appendChild(dot);
    });
    var base = lanes.length * lane + 4;
    root.appendChild(node('line', {x1: left, x2: left + plot, y1: base, y2: base, 'class': 'axis'}));
    var ticks = plot > 300 ? 4 : 2;
    for (var i = 0; i <= ticks; i++) {
      var time = from + span * i / ticks;
      var anchor = i === 0 ? 'start' : i === ticks ? 'end' : 'middle';
      root.appendChild(node('text', {x: x_of(time), y: base + 16, 'text-anchor': anchor,
                                     'class': 'tick'}, tick(time)));
    }
    return root;
  }

  return {bars: bars, timeline: timeline};
})();
