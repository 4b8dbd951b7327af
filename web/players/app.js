// The players' page: the games and whose turn it is (/games, with ?q=<name> to search,
// ?status=open|finished|archived&after=<id> to page through one kind), or one game
// (/games?id=<id>): its players, their turn times, the timeline of its turns and, once it has
// ended, a download link per stored turn.
//
// Everything comes from the JSON API of the same origin (relative URLs, so the page works
// behind the HTTPS front and on a LAN with no other host). It polls every 20 s; the browser
// revalidates with the ETag it holds, the server answers 304 while nothing changed, and the
// page then touches nothing but the waiting times. Rows are kept by game id and only their
// changed texts are written. Texts from saves go in as text nodes, never as markup.
//
// The list asks the server for one page of each kind it shows (status, q, limit, after), so a
// server with many thousands of games sends a few dozen; the waiting times, turn times and
// turns per day are the server's figures.
'use strict';

(function () {
  var poll_ms = 20000;
  var page_size = 25;

  var texts = {
    ru: {
      title: 'Партии', search: 'Название партии', find: 'Найти', loading: 'Загрузка…',
      no_server: 'Сервер не отвечает, повтор через 20 с', unknown_game: 'Нет такой партии',
      sections: {open: 'Идут', finished: 'Окончены', archived: 'В архиве'},
      status: {in_play: 'Идёт', opening: 'Высадка', finished: 'Окончена', archived: 'В архиве'},
      turn: 'ход', to_move: 'Ходит', winner: 'Победил', waits: 'ждёт', none: 'Нет партий',
      none_found: 'Ничего не найдено', next: 'Дальше →', first: '← В начало',
      all_games: '← Все партии', archive: 'Партии в архиве', more: 'Все',
      players: 'Игроки', player: 'Игрок', state: 'Состояние', in_game: 'в игре',
      out: 'выбыл', moving: 'ходит', won: 'победил', count: 'Ходов',
      chart: 'Время хода', median: 'медиана', mean: 'среднее', longest: 'дольше всего',
      no_times: 'Ходов пока нет.',
      timeline: 'Ходы', turn_col: 'Ход', time_col: 'Время', size_col: 'Размер',
      download: 'Скачать', per_day: 'Ходов в день', last7: 'за 7 дней', overall: 'в среднем',
      last_move: 'Последний ход', on_turn: 'На ходу с', description: 'Описание',
      d: 'д', h: 'ч', min: 'мин', s: 'с', kb: 'КБ', b: 'Б', locale: 'ru-RU'
    },
    en: {
      title: 'Games', search: 'Game name', find: 'Search', loading: 'Loading…',
      no_server: 'The server does not answer; retrying in 20 s', unknown_game: 'No such game',
      sections: {open: 'In play', finished: 'Finished', archived: 'Archived'},
      status: {in_play: 'In play', opening: 'Opening', finished: 'Finished', archived: 'Archived'},
      turn: 'turn', to_move: 'To move', winner: 'Winner', waits: 'waiting', none: 'No games',
      none_found: 'Nothing found', next: 'Next →', first: '← First page',
      all_games: '← All games', archive: 'Archived games', more: 'All',
      players: 'Players', player: 'Player', state: 'State', in_game: 'in the game',
      out: 'out', moving: 'to move', won: 'winner', count: 'Turns',
      chart: 'Turn times', median: 'median', mean: 'mean', longest: 'longest',
      no_times: 'No turns yet.',
      timeline: 'Turns', turn_col: 'Turn', time_col: 'Time', size_col: 'Size',
      download: 'Download', per_day: 'Turns per day', last7: 'last 7 days', overall: 'overall',
      last_move: 'Last move', on_turn: 'On turn since', description: 'Description',
      d: 'd', h: 'h', min: 'min', s: 's', kb: 'KB', b: 'B', locale: 'en-GB'
    }
  };
  var series_colors = ['#6CB6FF', '#F0C674', '#E0707A'];

  var params = new URLSearchParams(location.search);
  var forced_lang = params.get('lang') === 'en' || params.get('lang') === 'ru' ?
      params.get('lang') : '';
  var lang = forced_lang || preferred_language();
  var t = texts[lang];
  var main = document.getElementById('main');
  var state = document.getElementById('state');

  // Russian unless English comes first among the two in the browser's languages.
  function preferred_language() {
    var list = navigator.languages && navigator.languages.length ? navigator.languages :
        [navigator.language || ''];
    for (var i = 0; i < list.length; i++) {
      var code = String(list[i]).toLowerCase();
      if (code.indexOf('ru') === 0) return 'ru';
      if (code.indexOf('en') === 0) return 'en';
    }
    return 'ru';
  }

  function el(tag, class_name, text) {
    var e = document.createElement(tag);
    if (class_name) e.className = class_name;
    if (text !== undefined && text !== null) e.textContent = text;
    return e;
  }

  // Writes only what differs, so that a poll that changed nothing changes nothing on screen.
  function set_text(e, text) {
    text = String(text);
    if (e.textContent !== text) e.textContent = text;
  }

  function set_attr(e, name, value) {
    if (e.getAttribute(name) !== value) e.setAttribute(name, value);
  }

  // A link to this page with `query` (and the language, when it was chosen in the URL).
  function page_link(query) {
    var q = new URLSearchParams();
    for (var name in query) {
      if (query[name] !== null && query[name] !== undefined && query[name] !== '') {
        q.set(name, query[name]);
      }
    }
    if (forced_lang) q.set('lang', forced_lang);
    var text = q.toString();
    return 'games' + (text ? '?' + text : '');
  }

  // Colours arrive as "#RRGGBB"; anything else is left out rather than put into a style.
  function safe_color(text) {
    return /^#[0-9A-Fa-f]{6}$/.test(text) ? text : '';
  }

  // Clients write blanks in game names as "_".
  function game_name(game) {
    return String(game.name).split('_').join(' ');
  }

  function duration_text(seconds) {
    if (seconds === null || seconds === undefined || !isFinite(seconds)) return '—';
    seconds = Math.max(0, Math.round(seconds));
    var d = Math.floor(seconds / 86400), h = Math.floor(seconds % 86400 / 3600);
    var m = Math.floor(seconds % 3600 / 60);
    if (d > 0) return d + ' ' + t.d + (h ? ' ' + h + ' ' + t.h : '');
    if (h > 0) return h + ' ' + t.h + (m ? ' ' + m + ' ' + t.min : '');
    if (m > 0) return m + ' ' + t.min;
    return seconds + ' ' + t.s;
  }

  // One formatter for every time shown: toLocaleString with options builds a new one per call,
  // which costs more than the rest of drawing a list.
  var time_format = null;
  function time_text(ms) {
    time_format = time_format ||
        new Intl.DateTimeFormat(t.locale, {dateStyle: 'medium', timeStyle: 'short'});
    return time_format.format(ms);
  }

  function size_text(bytes) {
    return bytes >= 1024 ? Math.round(bytes / 1024) + ' ' + t.kb : bytes + ' ' + t.b;
  }

  function ms_of(iso) {
    var ms = iso ? Date.parse(iso) : NaN;
    return isNaN(ms) ? null : ms;
  }

  function is_open(game) {
    return game.status_code === 0 || game.status_code === 1;
  }

  function player(game, index) {
    return index === null || index === undefined ? null : game.players[index] || null;
  }

  // A coloured dot and the team's name.
  function team_badge(p) {
    var span = el('span', 'team');
    var dot = el('span', 'dot');
    dot.style.backgroundColor = safe_color(p.color);
    span.appendChild(dot);
    span.appendChild(el('span', p.in_game === false ? 'out' : '', p.team));
    return span;
  }

  // The API's reply for `path` and whether it differs from the last one seen. "no-cache": the
  // browser revalidates with the ETag it holds and keeps its copy on a 304.
  var seen = {};
  function get(path) {
    return fetch(path, {cache: 'no-cache'}).then(function (reply) {
      if (!reply.ok) {
        var error = new Error('HTTP ' + reply.status);
        error.status = reply.status;
        throw error;
      }
      var tag = reply.headers.get('ETag');
      var last = seen[path];
      if (tag && last && last.tag === tag) return {data: last.data, changed: false};
      return reply.json().then(function (data) {
        seen[path] = {tag: tag, data: data};
        return {data: data, changed: true};
      });
    });
  }

  function show_state(text) {
    set_text(state, text);
    state.hidden = text === '';
  }

  // ---- The list ----

  var query = params.get('q') || '';
  var kinds = ['open', 'finished', 'archived'];
  var paged = kinds.indexOf(params.get('status')) >= 0 ? params.get('status') : '';
  var after = paged ? params.get('after') || '' : '';
  var sections = {};

  function section(kind) {
    if (sections[kind]) return sections[kind];
    var s = {root: el('section', 'games'), rows: {}};
    s.root.id = 'section_' + kind;
    var head = el('h2');
    s.title = el('a', '', t.sections[kind]);
    s.title.href = page_link({status: kind, q: query});
    head.appendChild(s.title);
    s.root.appendChild(head);
    s.list = el('ul', 'game-list');
    s.root.appendChild(s.list);
    s.empty = el('p', 'empty');
    s.root.appendChild(s.empty);
    s.pager = el('nav', 'pager');
    s.first = el('a', 'first', t.first);
    s.first.href = page_link({status: kind, q: query});
    s.next = el('a', 'next', t.next);
    s.pager.appendChild(s.first);
    s.pager.appendChild(s.next);
    s.root.appendChild(s.pager);
    main.appendChild(s.root);
    sections[kind] = s;
    return s;
  }

  function new_row(game) {
    var li = el('li', 'game');
    li.dataset.id = game.id;
    var name = el('a', 'name');
    name.href = page_link({id: game.id});
    li.appendChild(name);
    li.appendChild(el('span', 'info'));
    li.appendChild(el('span', 'who'));
    li.appendChild(el('span', 'since'));
    return li;
  }

  // Writes `game` into its row; the parts built from several fields are rebuilt only when
  // those fields changed.
  function fill_row(li, game, now) {
    var parts = li.children;
    set_text(parts[0], game_name(game));
    set_text(parts[1], (t.status[game.status] || game.status) + ' · ' + t.turn + ' ' + game.turn);
    var ended = !is_open(game);
    var p = player(game, ended ? game.winner : game.to_move);
    var key = p ? (ended ? 'w' : 'm') + p.team + p.color : '';
    if (li.dataset.who !== key) {
      li.dataset.who = key;
      parts[2].textContent = '';
      if (p) {
        parts[2].appendChild(el('span', 'label', ended ? t.winner + ': ' : t.to_move + ': '));
        parts[2].appendChild(team_badge(p));
      }
    }
    var since = ms_of(ended ? game.last_move : game.on_turn_since);
    if (since === null) {
      set_text(parts[3], '');
    } else if (ended) {
      set_text(parts[3], time_text(since));
    } else {
      set_text(parts[3], t.waits + ' ' + duration_text((now - since) / 1000));
      set_attr(parts[3], 'title', time_text(since));
    }
  }

  // Puts the rows of `games` in `s.list` in that order, reusing the rows of games it had.
  function show_section(s, kind, page, now) {
    var keep = {};
    var at = s.list.firstChild;
    page.games.forEach(function (game) {
      var li = s.rows[game.id] || new_row(game);
      s.rows[game.id] = li;
      keep[game.id] = true;
      fill_row(li, game, now);
      if (li !== at) s.list.insertBefore(li, at);
      else at = at.nextSibling;
    });
    for (var id in s.rows) {
      if (!keep[id]) {
        s.list.removeChild(s.rows[id]);
        delete s.rows[id];
      }
    }
    set_text(s.empty, page.games.length ? '' : query ? t.none_found : t.none);
    s.empty.hidden = page.games.length > 0;
    s.next.hidden = page.next === null || page.next === undefined;
    if (!s.next.hidden) s.next.href = page_link({status: kind, q: query, after: page.next});
    s.first.hidden = !(paged && after);
    s.pager.hidden = s.next.hidden && s.first.hidden;
    if (!paged) {
      set_text(s.next, t.more + ' →');
      s.next.href = page_link({status: kind, q: query});
    }
  }

  function list_path(kind) {
    var q = new URLSearchParams({status: kind, limit: String(page_size)});
    if (query) q.set('q', query);
    if (kind === paged && after) q.set('after', after);
    return 'api/games?' + q.toString();
  }

  var first_list_shown = false;
  function refresh_list() {
    var shown = paged ? [paged] : ['open', 'finished'];
    // The sections' pages are asked for at once; each is drawn in its place once all arrived.
    return Promise.all(shown.map(function (kind) { return get(list_path(kind)); }))
        .then(function (replies) {
          var now = Date.now();
          replies.forEach(function (r, i) {
            show_section(section(shown[i]), shown[i], r.data, now);
          });
          show_state('');
          if (!first_list_shown) {
            first_list_shown = true;
            if (!paged) {
              var archive = el('p', 'archive');
              var link = el('a', '', t.archive);
              link.href = page_link({status: 'archived', q: query});
              archive.appendChild(link);
              main.appendChild(archive);
            }
            performance.mark('zts-first-list');
            document.documentElement.dataset.firstList = Math.round(performance.now());
          }
        });
  }

  // ---- One game ----

  var game_id = params.get('id');
  var view = null;  // the game view's parts, built at the first reply

  function build_game_view() {
    var v = {};
    var back = el('nav', 'back');
    var link = el('a', '', t.all_games);
    link.href = page_link({});
    back.appendChild(link);
    main.appendChild(back);
    v.name = el('h1', 'game-name');
    main.appendChild(v.name);
    v.facts = el('dl', 'facts');
    main.appendChild(v.facts);
    v.descr = el('p', 'descr');
    main.appendChild(v.descr);
    function part(title, id) {
      var s = el('section', 'part');
      s.id = id;
      s.appendChild(el('h2', '', title));
      main.appendChild(s);
      return s;
    }
    v.players = part(t.players, 'players');
    v.chart_part = part(t.chart, 'turn_times');
    v.chart = el('div', 'chart-box');
    v.chart_part.appendChild(v.chart);
    v.turns_part = part(t.timeline, 'turns');
    v.timeline = el('div', 'chart-box');
    v.turns_part.appendChild(v.timeline);
    v.turns_table = el('div', 'table-box');
    v.turns_part.appendChild(v.turns_table);
    return v;
  }

  function fact(list, name, value) {
    list.appendChild(el('dt', '', name));
    var dd = el('dd');
    if (typeof value === 'string') dd.textContent = value;
    else dd.appendChild(value);
    list.appendChild(dd);
    return dd;
  }

  function table(head) {
    var tbl = el('table');
    var row = el('tr');
    head.forEach(function (h) { row.appendChild(el('th', h[1] || '', h[0])); });
    tbl.appendChild(el('thead')).appendChild(row);
    tbl.appendChild(el('tbody'));
    return tbl;
  }

  function player_state(game, i) {
    if (game.status_code === 2 && game.winner === i) return t.won;
    if (!game.players[i].in_game) return t.out;
    if (is_open(game) && game.to_move === i) return t.moving;
    return t.in_game;
  }

  // The facts that change with the clock alone: rewritten on every poll.
  function show_waiting(game, now) {
    if (!view.waiting) return;
    var since = ms_of(game.on_turn_since);
    set_text(view.waiting, since === null ? '—' : duration_text((now - since) / 1000));
    set_attr(view.waiting, 'title', since === null ? '' : time_text(since));
  }

  function show_game(game, now) {
    document.title = game_name(game) + ' — ' + t.title;
    set_text(view.name, game_name(game));
    set_text(view.descr, game.description || '');
    view.descr.hidden = !game.description;

    view.facts.textContent = '';
    fact(view.facts, t.state, (t.status[game.status] || game.status) + ', ' + t.turn + ' ' +
         game.turn);
    var mover = is_open(game) ? player(game, game.to_move) : null;
    var winner = game.status_code === 2 ? player(game, game.winner) : null;
    view.waiting = null;
    if (mover) {
      var who = el('span');
      who.appendChild(team_badge(mover));
      view.waiting = el('span', 'waiting');
      who.appendChild(document.createTextNode(', ' + t.waits + ' '));
      who.appendChild(view.waiting);
      fact(view.facts, t.to_move, who);
    }
    if (winner) fact(view.facts, t.winner, team_badge(winner));
    var since = mover ? ms_of(game.on_turn_since) : null;
    if (since !== null) fact(view.facts, t.on_turn, time_text(since));
    var per_day = game.turns_per_day;
    fact(view.facts, t.per_day, Number(per_day.last_7_days).toFixed(1) + ' ' + t.last7 + ', ' +
         Number(per_day.overall).toFixed(1) + ' ' + t.overall);
    var last = ms_of(game.last_move);
    if (last !== null) fact(view.facts, t.last_move, time_text(last));
    show_waiting(game, now);

    var players = table([[t.player], [t.state], [t.count, 'num'], [t.median, 'num wide'],
                         [t.mean, 'num wide'], [t.longest, 'num wide']]);
    game.players.forEach(function (p, i) {
      var row = el('tr', p.in_game ? '' : 'is-out');
      row.appendChild(el('td')).appendChild(team_badge(p));
      row.appendChild(el('td', '', player_state(game, i)));
      var tt = p.turn_times || {count: 0};
      row.appendChild(el('td', 'num', tt.count));
      // A player who has not taken a turn yet has no times (the server gives 0).
      ['median', 'mean', 'longest'].forEach(function (name) {
        row.appendChild(el('td', 'num wide', tt.count ? duration_text(tt[name]) : '—'));
      });
      players.tBodies[0].appendChild(row);
    });
    view.players.replaceChildren(view.players.firstChild, players);

    var turns = table([[t.turn_col, 'num'], [t.player], [t.time_col], [t.size_col, 'num wide']]
        .concat(game.status_code === 2 ? [[t.download]] : []));
    (game.turns || []).forEach(function (turn) {
      var row = el('tr');
      row.appendChild(el('td', 'num', turn.turn + (turn.opening ? '*' : '')));
      var p = game.players[turn.player];
      if (p) row.appendChild(el('td')).appendChild(team_badge(p));
      else row.appendChild(el('td', '', turn.player));
      var ms = ms_of(turn.time);
      row.appendChild(el('td', '', ms === null ? '' : time_text(ms)));
      row.appendChild(el('td', 'num wide', size_text(turn.size)));
      if (game.status_code === 2) {
        var cell = row.appendChild(el('td'));
        // Stored "turn_" files of a finished game are what the game protocol hands out.
        if (!turn.opening) {
          var a = el('a', 'download', t.download);
          a.href = 'gameserver_v2.php?op=29&fn=game_' + game.id + '&tn=' + turn.turn + '&pl=' +
              turn.player;
          a.setAttribute('download', turn.file);
          cell.appendChild(a);
        }
      }
      turns.tBodies[0].appendChild(row);
    });
    view.turns_table.replaceChildren(turns);
    draw_charts(game, now);
  }

  function draw_charts(game, now) {
    var width = Math.max(240, Math.min(900, view.chart.clientWidth || 320));
    view.drawn_width = width;
    var rows = game.players.map(function (p, i) {
      var tt = p.turn_times || {count: 0};
      var values = tt.count ? [tt.median, tt.mean, tt.longest] : [null, null, null];
      return {label: p.team, color: safe_color(p.color), values: values};
    });
    var any = rows.some(function (r) { return r.values[2] > 0; });
    view.chart.replaceChildren(any ? zts_charts.bars(rows, [
      {name: t.median, color: series_colors[0]}, {name: t.mean, color: series_colors[1]},
      {name: t.longest, color: series_colors[2]}], duration_text, width, t.chart) :
      el('p', 'empty', t.no_times));

    var points = [];
    (game.turns || []).forEach(function (turn) {
      var ms = ms_of(turn.time);
      if (ms === null || !game.players[turn.player]) return;
      points.push({lane: turn.player, time: ms, hollow: turn.opening,
                   title: t.turn_col + ' ' + turn.turn + ', ' + game.players[turn.player].team +
                       ', ' + time_text(ms)});
    });
    points.sort(function (a, b) { return a.time - b.time; });
    if (!points.length) {
      view.timeline.replaceChildren();
      return;
    }
    var from = points[0].time;
    var to = Math.max(points[points.length - 1].time, is_open(game) ? now : 0);
    var lanes = game.players.map(function (p) {
      return {label: p.team, color: safe_color(p.color)};
    });
    var span = to - from;
    var tick = function (ms) {
      var d = new Date(ms);
      return span > 2 * 86400000 ? d.toLocaleDateString(t.locale, {day: 'numeric', month: 'short'})
          : d.toLocaleTimeString(t.locale, {hour: '2-digit', minute: '2-digit'});
    };
    view.timeline.replaceChildren(zts_charts.timeline(lanes, points, from, to, tick, width,
                                                      t.timeline));
  }

  function refresh_game() {
    return get('api/games/' + encodeURIComponent(game_id)).then(function (r) {
      var now = Date.now();
      if (!view) view = build_game_view();
      if (r.changed) show_game(r.data, now);
      else show_waiting(r.data, now);
      view.game = r.data;
      show_state('');
    });
  }

  // ---- Start ----

  function refresh() {
    var done = game_id !== null ? refresh_game() : refresh_list();
    return done.catch(function (error) {
      show_state(error.status === 404 ? t.unknown_game : t.no_server);
    });
  }

  document.documentElement.lang = lang;
  document.title = t.title;
  set_text(document.getElementById('home'), t.title);
  var search = document.getElementById('q');
  search.placeholder = t.search;
  search.value = query;
  set_text(document.getElementById('q_label'), t.search);
  set_text(document.getElementById('q_go'), t.find);
  if (forced_lang) {
    var hidden = el('input');
    hidden.type = 'hidden';
    hidden.name = 'lang';
    hidden.value = forced_lang;
    document.getElementById('search').appendChild(hidden);
  }
  show_state(t.loading);
  refresh();

  var timer = setInterval(refresh, poll_ms);
  document.addEventListener('visibilitychange', function () {
    clearInterval(timer);
    if (document.hidden) return;
    refresh();
    timer = setInterval(refresh, poll_ms);
  });
  window.addEventListener('resize', function () {
    if (view && view.game && view.chart.clientWidth &&
        Math.abs(view.chart.clientWidth - view.drawn_width) > 20) {
      draw_charts(view.game, Date.now());
    }
  });
})();
