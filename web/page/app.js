// The skarvel-web page: shows what the server sends over /ws and sends the
// operator's commands. It keeps nothing of the robot's but the trail and the
// plots' history, both made from the states it received.
'use strict';

(() => {
  // --- Texts. The keys are the panel's own captions; Korean beside them.
  const KO = {
    connecting: '연결 중…', online: '연결됨', offline: '서버 연결 끊김, 다시 연결 중…',
    watcher: '관찰자', driver: '조종자', taken: '다른 사람이 조종 중',
    take: '조종권 받기', release: '조종권 놓기',
    'Connect State': '연결 상태', 'Ultra Sonic': '초음파', 'Bumper ': '범퍼', Drive: '구동',
    Emergency: '비상', PowerModule: '전원 모듈',
    ' Drive Control': '주행 제어', F: '앞', L: '왼', R: '오', B: '뒤',
    keys: '화살표 키나 방향 버튼을 누르고 있는 동안 움직입니다.',
    'Servo On': '서보 켜기', 'Servo Off': '서보 끄기', Servo: '서보', on: '켜짐', off: '꺼짐',
    map: '지도 (최근 몇 분) 와 초음파 거리',
    ' Emergency ': '비상 정지', 'Emgency Stop ': '비상 정지',
    Bumper: '범퍼', 'Front - Left': '앞 - 왼쪽', 'Front - Right': '앞 - 오른쪽',
    ' Off Mode': '끔 모드', 'Stop Mode': '정지 모드', mode: '모드', dir: '정지 모드',
    'USonic ': '초음파 ',
    'Motor Driver': '모터 드라이버', ' Odometry ': '오도메트리', Theta: '각도',
    ' Encoder ': '엔코더', Left: '왼쪽', Right: '오른쪽',
    'Set Odometry Position': '오도메트리 위치 설정',
    'Write ( x,y )': '쓰기 ( x,y )', 'Write ( x,y,theta )': '쓰기 ( x,y,theta )',
    'Power Module': '전원 모듈', 'Battery Volt': '배터리 전압', 'Charge Volt': '충전 전압',
    'Charge Current': '충전 전류', 'Consumption Current': '소비 전류',
    ' Up': ' 켜기', ' Down': ' 끄기',
    plots: '배터리 전압과 전류, 최근 10분', stale: '응답 없음',
    about: 'Skarvel 정보', version: '버전', notNumber: '숫자가 아닙니다',
    battery: '배터리 (V)', consumption: '소비 (mA)', charge: '충전 (mA)',
  };
  const EN = {
    connecting: 'Connecting…', online: 'Connected', offline: 'Server lost, reconnecting…',
    watcher: 'Watcher', driver: 'Driver', taken: 'someone else drives',
    take: 'Take control', release: 'Release',
    keys: 'Hold an arrow key or a direction button to drive.',
    Servo: 'Servo', on: 'on', off: 'off', dir: 'stop',
    map: 'Map (last minutes) and ultrasonic ranges', mode: 'Mode',
    plots: 'Battery and currents, last ten minutes', stale: 'no answer',
    about: 'About Skarvel', version: 'version', notNumber: 'not a number',
    battery: 'battery (V)', consumption: 'consumption (mA)', charge: 'charge (mA)',
    ' Up': ' Up', ' Down': ' Down', 'USonic ': 'USonic ',
  };
  let lang = /^ko\b/i.test(navigator.language || '') ? 'ko' : 'en';
  const t = (key) => (lang === 'ko' ? KO[key] : EN[key]) ?? key.trim();

  const $ = (id) => document.getElementById(id);

  // --- The robot's layout. Module ids are the controller's PowerUp/PowerDown
  // numbers; `at` is the module's place in ReadPowerStatus (0-based), where
  // the controller reports it (0 on, 1 down).
  const MODULES = [
    { name: 'Drive', id: 1, at: 9 }, { name: 'Sensor', id: 2, at: 8 },
    { name: 'LRF', id: 3, at: 7 }, { name: 'SBC1', id: 4, at: 6 },
    { name: 'Gyro', id: 5, at: 11 }, { name: 'SG', id: 6, at: 10 },
    { name: 'RX64', id: 11, at: 12 }, { name: 'LCD', id: 10, at: 13 },
    { name: 'Spare1', id: 7 }, { name: 'Spare2', id: 9 },
    { name: 'Spare3', id: 8 }, { name: 'Spare4', id: 12 },
  ];
  const SONARS = 7;
  const SONAR_NOTHING = 400; // cm: nothing within reach
  const ROBOT_RADIUS_MM = 250;
  const KEEPALIVE_MS = 100; // the server stops the wheels 300 ms after the last
  const TRAIL_MS = 5 * 60 * 1000;
  const PLOT_MS = 10 * 60 * 1000;
  const PLOT_STEP_MS = 1000;
  const PLOT_MIN_MS = 60 * 1000;
  const KEYS = { ArrowUp: 'forward', ArrowDown: 'backward', ArrowLeft: 'left', ArrowRight: 'right' };

  // --- Connection.
  const token = new URLSearchParams(location.search).get('token');
  // The cookie set with the page carries the token from here on; the address
  // bar need not show it to whoever looks at the screen.
  if (token !== null) history.replaceState(null, '', location.pathname);
  let socket = null;
  let retryMs = 250;
  let role = 'watcher';
  let driverTaken = false;
  let nextId = 1;
  const pending = new Map(); // request id -> what the operator asked

  function connect() {
    const url = new URL('ws', location.href);
    url.protocol = location.protocol === 'https:' ? 'wss:' : 'ws:';
    url.search = token !== null ? '?token=' + encodeURIComponent(token) : '';
    url.hash = '';
    const ws = new WebSocket(url.href);
    socket = ws;
    ws.onmessage = (e) => {
      let m;
      try {
        m = JSON.parse(e.data);
      } catch {
        return;
      }
      if (m && typeof m === 'object') receive(m);
    };
    ws.onclose = () => {
      if (socket !== ws) return;
      socket = null;
      stopDriving(false);
      setRole('watcher', driverTaken);
      showOffline();
      // Backoff with a little spread, so that a restarted server is not met
      // by every page at the same instant.
      setTimeout(connect, retryMs * (0.75 + Math.random() / 2));
      retryMs = Math.min(retryMs * 2, 5000);
    };
  }

  function send(message) {
    if (socket === null || socket.readyState !== WebSocket.OPEN) return false;
    socket.send(JSON.stringify(message));
    return true;
  }

  // A command whose answer the page shows when it comes.
  function request(message, label) {
    const id = nextId++;
    pending.set(id, label);
    if (!send({ ...message, id })) {
      pending.delete(id);
      showReply(label, false, t('offline'));
    }
  }

  function receive(m) {
    switch (m.type) {
      case 'hello':
        retryMs = 250;
        document.body.classList.remove('offline');
        $('link').dataset.t = 'online';
        $('link').textContent = t('online');
        $('version').textContent = 'skarvel-web ' + t('version') + ' ' + String(m.version ?? '');
        setRole(m.role, m.driverTaken);
        break;
      case 'role':
        setRole(m.role, m.driverTaken);
        break;
      case 'state':
        showState(m);
        break;
      case 'reply':
      case 'error': {
        const label = pending.get(m.id) ?? '';
        pending.delete(m.id);
        showReply(label, m.type === 'reply' && m.ok === true, String(m.text ?? ''));
        break;
      }
    }
  }

  function showReply(label, ok, text) {
    const p = $('reply');
    p.textContent = (label ? label + ': ' : '') + text;
    p.className = ok ? 'ok' : 'fail';
  }

  function setRole(newRole, taken) {
    role = newRole === 'driver' ? 'driver' : 'watcher';
    driverTaken = taken === true;
    if (role !== 'driver') stopDriving(false);
    document.body.classList.toggle('driver', role === 'driver');
    const badge = $('role');
    badge.dataset.t = role;
    badge.textContent = t(role) + (role === 'watcher' && driverTaken ? ' · ' + t('taken') : '');
    $('take-control').hidden = role === 'driver';
    $('release-control').hidden = role !== 'driver';
  }

  // --- Showing a state.
  const GROUPS = ['motorDriver', 'bumper', 'ultraSonic', 'powerModule', 'emergency'];

  function setText(id, value) {
    if (value === null || value === undefined) return;
    const el = $(id);
    const text = String(value);
    if (el.textContent !== text) el.textContent = text;
  }

  function setLamp(el, on) {
    el.classList.toggle('on', on === true);
  }

  function showOffline() {
    document.body.classList.add('offline');
    $('link').dataset.t = 'offline';
    $('link').textContent = t('offline');
    for (const g of GROUPS) setLamp($('lamp-' + g), false);
    for (const s of document.querySelectorAll('[data-group]')) s.classList.add('stale');
  }

  let lastState = null;

  function showState(s) {
    lastState = s;
    render(s);
    record(s);
    scheduleDraw();
  }

  function render(s) {
    const services = s.services || {};
    const stale = s.stale || {};
    for (const g of GROUPS) setLamp($('lamp-' + g), services[g] === true);
    for (const section of document.querySelectorAll('[data-group]')) {
      const g = section.dataset.group;
      section.classList.toggle('stale', stale[g] === true);
    }

    const p = Array.isArray(s.power) ? s.power : [];
    setText('battery', p[0]);
    setText('charge-volt', p[1]);
    setText('charge-current', p[2]);
    setText('consumption', p[3]);
    for (const m of MODULES) {
      if (m.at === undefined || p[m.at] === undefined) continue;
      const down = p[m.at] !== 0;
      const row = $('module-' + m.id);
      row.dataset.down = down ? '1' : '0';
      setLamp(row.querySelector('.lamp'), !down);
      const button = row.querySelector('button');
      const caption = m.name + t(down ? ' Up' : ' Down');
      if (button.textContent !== caption) button.textContent = caption;
    }

    if (s.position) {
      setText('odo-x', s.position.x);
      setText('odo-y', s.position.y);
      setText('odo-theta', s.position.theta);
    }
    if (s.encoders) {
      setText('enc-left', s.encoders.left);
      setText('enc-right', s.encoders.right);
    }
    if (s.bumpers) {
      setLamp($('bumper-frontLeft'), !!s.bumpers.frontLeft);
      setLamp($('bumper-frontRight'), !!s.bumpers.frontRight);
    }
    $('bumper-mode').dataset.value = s.bumperMode ?? '';
    setText('bumper-mode', s.bumperMode ? t(s.bumperMode === 'dir' ? 'dir' : 'off') : '—');
    $('servo').dataset.value = s.servo ?? '';
    setText('servo', s.servo ? t(s.servo) : '—');
    if (typeof s.emergencyKey === 'number') setLamp($('emergency-key'), s.emergencyKey !== 0);
    if (Array.isArray(s.sonar)) {
      for (let i = 0; i < SONARS; ++i) {
        const r = s.sonar[i];
        if (typeof r !== 'number') continue;
        setText('sonar-' + i, r);
        $('sonar-bar-' + i).value = Math.max(0, Math.min(SONAR_NOTHING, r));
      }
    }
  }

  // --- History for the map and the plots, from the states received.
  const trail = []; // {t, x, y} in mm
  const plot = []; // {t, volt, charge, consumption}, one a second; null values break the line

  function record(s) {
    const now = Date.now();
    if (s.position && !(s.stale && s.stale.motorDriver)) {
      const { x, y } = s.position;
      const last = trail[trail.length - 1];
      if (!last || Math.hypot(x - last.x, y - last.y) >= 5 || now - last.t >= 1000)
        trail.push({ t: now, x, y });
    }
    while (trail.length && now - trail[0].t > TRAIL_MS) trail.shift();

    const last = plot[plot.length - 1];
    if (!last || now - last.t >= PLOT_STEP_MS) {
      const p = Array.isArray(s.power) && !(s.stale && s.stale.powerModule) ? s.power : null;
      plot.push({
        t: now,
        volt: p ? p[0] / 1000 : null,
        charge: p ? p[2] : null,
        consumption: p ? p[3] : null,
      });
    }
    while (plot.length && now - plot[0].t > PLOT_MS) plot.shift();
  }

  // --- Drawing: short canvas code; a map is no chart, and two line plots
  // need no library.
  let drawQueued = false;
  let plotsDrawnAt = 0;

  function scheduleDraw() {
    if (drawQueued || document.hidden) return;
    drawQueued = true;
    requestAnimationFrame(() => {
      drawQueued = false;
      drawMap();
      if (Date.now() - plotsDrawnAt >= PLOT_STEP_MS) {
        plotsDrawnAt = Date.now();
        drawPlots();
      }
    });
  }

  // Sizes the canvas's pixels to its shown size; returns its 2-D context
  // in CSS pixels.
  function prepare(canvas) {
    const ratio = window.devicePixelRatio || 1;
    const w = Math.max(1, Math.round(canvas.clientWidth * ratio));
    const h = Math.max(1, Math.round(canvas.clientHeight * ratio));
    if (canvas.width !== w || canvas.height !== h) {
      canvas.width = w;
      canvas.height = h;
    }
    const g = canvas.getContext('2d');
    g.setTransform(ratio, 0, 0, ratio, 0, 0);
    g.clearRect(0, 0, canvas.clientWidth, canvas.clientHeight);
    return { g, w: canvas.clientWidth, h: canvas.clientHeight };
  }

  // The style sheet's colours, read once: a frame need not recompute styles.
  const colours = new Map();
  function cssColor(name) {
    if (!colours.has(name))
      colours.set(name, getComputedStyle(document.body).getPropertyValue(name).trim() || '#888');
    return colours.get(name);
  }

  function drawMap() {
    const { g, w, h } = prepare($('map'));
    const s = lastState;
    if (!s || !s.position || w < 40 || h < 40) return;
    const { x, y } = s.position;
    const heading = ((s.position.theta || 0) * Math.PI) / 180;
    const ranges = Array.isArray(s.sonar) ? s.sonar.slice(0, SONARS) : [];
    const echo = (i) => ROBOT_RADIUS_MM + 10 * Math.min(ranges[i], SONAR_NOTHING);
    const bearing = (i) => heading + ((90 - 30 * i) * Math.PI) / 180;

    // Bounds: the trail, the robot and every echo, with a margin.
    let minX = x - 1000, maxX = x + 1000, minY = y - 1000, maxY = y + 1000;
    const grow = (px, py) => {
      minX = Math.min(minX, px); maxX = Math.max(maxX, px);
      minY = Math.min(minY, py); maxY = Math.max(maxY, py);
    };
    for (const p of trail) grow(p.x, p.y);
    ranges.forEach((r, i) => {
      if (typeof r === 'number' && r < SONAR_NOTHING)
        grow(x + echo(i) * Math.cos(bearing(i)), y + echo(i) * Math.sin(bearing(i)));
    });
    const pad = 12;
    const scale = Math.min((w - 2 * pad) / (maxX - minX), (h - 2 * pad) / (maxY - minY));
    const cx = (w - (maxX - minX) * scale) / 2, cy = (h - (maxY - minY) * scale) / 2;
    const X = (mx) => cx + (mx - minX) * scale;
    const Y = (my) => h - cy - (my - minY) * scale;

    // A metre grid.
    g.strokeStyle = cssColor('--grid');
    g.lineWidth = 1;
    g.beginPath();
    for (let m = Math.ceil(minX / 1000) * 1000; m <= maxX; m += 1000) {
      g.moveTo(X(m), 0); g.lineTo(X(m), h);
    }
    for (let m = Math.ceil(minY / 1000) * 1000; m <= maxY; m += 1000) {
      g.moveTo(0, Y(m)); g.lineTo(w, Y(m));
    }
    g.stroke();
    g.fillStyle = cssColor('--muted');
    g.font = '11px sans-serif';
    g.fillText('1 m', 4, h - 4);

    // The sonar fan: one wedge per sensor, from the rim to the echo.
    const half = (12 * Math.PI) / 180;
    ranges.forEach((r, i) => {
      if (typeof r !== 'number') return;
      const a = -bearing(i); // canvas angles run clockwise
      g.beginPath();
      g.moveTo(X(x), Y(y));
      g.arc(X(x), Y(y), echo(i) * scale, a - half, a + half);
      g.closePath();
      g.fillStyle = r < SONAR_NOTHING ? cssColor('--sonar') : cssColor('--sonar-far');
      g.fill();
    });

    // The trail, older parts fainter; one stroke per stretch of points.
    const now = Date.now();
    const stretch = 20;
    g.strokeStyle = cssColor('--trail');
    g.lineWidth = 2;
    g.lineJoin = 'round';
    for (let i = 0; i + 1 < trail.length; i += stretch) {
      g.globalAlpha = 0.2 + 0.8 * (1 - (now - trail[i].t) / TRAIL_MS);
      g.beginPath();
      g.moveTo(X(trail[i].x), Y(trail[i].y));
      for (let j = i + 1; j <= Math.min(i + stretch, trail.length - 1); ++j) g.lineTo(X(trail[j].x), Y(trail[j].y));
      g.stroke();
    }
    g.globalAlpha = 1;

    // The robot and its heading.
    g.beginPath();
    g.arc(X(x), Y(y), Math.max(3, ROBOT_RADIUS_MM * scale), 0, 2 * Math.PI);
    g.fillStyle = cssColor('--robot');
    g.fill();
    g.beginPath();
    g.moveTo(X(x), Y(y));
    g.lineTo(X(x + ROBOT_RADIUS_MM * Math.cos(heading)), Y(y + ROBOT_RADIUS_MM * Math.sin(heading)));
    g.strokeStyle = '#fff';
    g.stroke();
  }

  function drawPlots() {
    drawSeries($('plot-volt'), 0.2, [{ key: 'volt', label: t('battery'), color: cssColor('--volt') }]);
    drawSeries($('plot-current'), 200, [
      { key: 'consumption', label: t('consumption'), color: cssColor('--consumption') },
      { key: 'charge', label: t('charge'), color: cssColor('--charge') },
    ]);
  }

  // `minSpan`: the least range of values shown, so that sensor noise does
  // not fill the plot's height.
  function drawSeries(canvas, minSpan, series) {
    const { g, w, h } = prepare(canvas);
    if (w < 80 || h < 40) return;
    const now = Date.now();
    // The window grows with the history, up to ten minutes.
    const windowMs = Math.min(PLOT_MS, Math.max(PLOT_MIN_MS, plot.length ? now - plot[0].t : 0));
    const ago = windowMs >= 120000 ? `-${Math.round(windowMs / 60000)} min` : `-${Math.round(windowMs / 1000)} s`;
    let lo = Infinity, hi = -Infinity;
    for (const p of plot)
      for (const s of series)
        if (p[s.key] !== null) {
          lo = Math.min(lo, p[s.key]);
          hi = Math.max(hi, p[s.key]);
        }
    const left = 44, right = 6, top = 16, bottom = 16;
    g.strokeStyle = cssColor('--grid');
    g.strokeRect(left, top, w - left - right, h - top - bottom);
    g.fillStyle = cssColor('--muted');
    g.font = '11px sans-serif';
    g.fillText(ago, left, h - 3);
    g.fillText('0', w - right - 8, h - 3);
    series.forEach((s, i) => {
      g.fillStyle = s.color;
      g.fillText(s.label, left + 4 + i * 130, 12);
    });
    if (lo > hi) return;
    if (hi - lo < minSpan) {
      const mid = (hi + lo) / 2;
      lo = mid - minSpan / 2;
      hi = mid + minSpan / 2;
    }
    const span = hi - lo;
    lo -= span * 0.05; hi += span * 0.05;
    const digits = hi - lo < 10 ? 2 : 0;
    g.fillStyle = cssColor('--muted');
    g.fillText(hi.toFixed(digits), 2, top + 8);
    g.fillText(lo.toFixed(digits), 2, h - bottom);
    const X = (time) => left + (w - left - right) * (1 - (now - time) / windowMs);
    const Y = (v) => top + (h - top - bottom) * (1 - (v - lo) / (hi - lo));
    g.lineWidth = 1.5;
    for (const s of series) {
      g.strokeStyle = s.color;
      g.beginPath();
      let drawing = false;
      for (const p of plot) {
        if (p[s.key] === null || now - p.t > windowMs) { drawing = false; continue; }
        if (drawing) g.lineTo(X(p.t), Y(p[s.key]));
        else g.moveTo(X(p.t), Y(p[s.key]));
        drawing = true;
      }
      g.stroke();
    }
  }

  // --- Driving, as the panel's hold-to-drive: a keep-alive every 100 ms
  // while held, a stop at once when the hold ends in any way.
  let held = null;
  let keepAlive = null;

  function startDriving(dir) {
    if (role !== 'driver') return;
    if (held === dir && keepAlive !== null) return;
    held = dir;
    send({ type: 'drive', dir });
    clearInterval(keepAlive);
    keepAlive = setInterval(() => {
      if (held !== null) send({ type: 'drive', dir: held });
    }, KEEPALIVE_MS);
    for (const b of document.querySelectorAll('.dir'))
      b.classList.toggle('held', b.dataset.dir === dir);
  }

  function stopDriving(tell = true) {
    clearInterval(keepAlive);
    keepAlive = null;
    const was = held;
    held = null;
    for (const b of document.querySelectorAll('.dir')) b.classList.remove('held');
    if (was !== null && tell) send({ type: 'drive', dir: 'stop' });
  }

  const isField = (el) => el && (el.tagName === 'INPUT' || el.tagName === 'TEXTAREA');

  addEventListener('keydown', (e) => {
    const dir = KEYS[e.key];
    if (!dir || role !== 'driver' || isField(e.target) || e.altKey || e.ctrlKey || e.metaKey) return;
    e.preventDefault();
    if (!e.repeat || held !== dir) startDriving(dir);
  });
  addEventListener('keyup', (e) => {
    const dir = KEYS[e.key];
    if (dir && dir === held) stopDriving();
  });
  addEventListener('blur', () => stopDriving());
  addEventListener('pagehide', () => stopDriving());
  document.addEventListener('visibilitychange', () => {
    if (document.hidden) stopDriving();
    else scheduleDraw();
  });

  for (const b of document.querySelectorAll('.dir')) {
    b.addEventListener('pointerdown', (e) => {
      if (e.button !== 0) return;
      // A touch captures the pointer to the button on its own; released, a
      // finger sliding off the button ends the hold as a mouse does.
      if (b.hasPointerCapture(e.pointerId)) b.releasePointerCapture(e.pointerId);
      startDriving(b.dataset.dir);
    });
    for (const end of ['pointerup', 'pointerleave', 'pointercancel'])
      b.addEventListener(end, () => stopDriving());
    b.addEventListener('contextmenu', (e) => e.preventDefault());
  }

  // --- Commands.
  $('take-control').addEventListener('click', () => request({ type: 'take' }, t('take')));
  $('release-control').addEventListener('click', () => {
    stopDriving();
    request({ type: 'release' }, t('release'));
  });
  $('servo-on').addEventListener('click', () => request({ type: 'servo', on: true }, t('Servo On')));
  $('servo-off').addEventListener('click', () => request({ type: 'servo', on: false }, t('Servo Off')));
  for (const id of ['bumper-off', 'bumper-dir']) {
    const b = $(id);
    b.addEventListener('click', () =>
      request({ type: 'bumperMode', mode: b.dataset.mode }, b.textContent.trim()));
  }

  function readInteger(id) {
    const text = $(id).value.trim();
    return /^[+-]?\d{1,10}$/.test(text) ? Number.parseInt(text, 10) : null;
  }
  function writeOdometry(withTheta, label) {
    const x = readInteger('set-x'), y = readInteger('set-y');
    const theta = withTheta ? readInteger('set-theta') : null;
    if (x === null || y === null || (withTheta && theta === null)) {
      showReply(label, false, t('notNumber'));
      return;
    }
    request({ type: 'odometry', x, y, theta }, label);
  }
  $('write-xy').addEventListener('click', () => writeOdometry(false, t('Write ( x,y )')));
  $('write-xyt').addEventListener('click', () => writeOdometry(true, t('Write ( x,y,theta )')));

  // --- Built parts: sonar rows and module switches.
  const sonarRows = $('sonar-rows');
  for (let i = 0; i < SONARS; ++i) {
    const tr = document.createElement('tr');
    tr.innerHTML =
      `<th><span data-t="USonic ">USonic </span>${i} :</th>` +
      `<td><meter id="sonar-bar-${i}" min="0" max="${SONAR_NOTHING}" value="0"></meter></td>` +
      `<td><output id="sonar-${i}" class="v">—</output></td><td>cm</td>`;
    sonarRows.appendChild(tr);
  }
  const modules = $('modules');
  for (const m of MODULES) {
    const li = document.createElement('li');
    li.id = 'module-' + m.id;
    if (m.at !== undefined) {
      // Known state: one switch that does the opposite of what the robot says.
      li.innerHTML = '<i class="lamp green"></i><button type="button"></button>';
      const b = li.querySelector('button');
      b.textContent = m.name + t(' Down');
      b.addEventListener('click', () => {
        const on = li.dataset.down === '1';
        request({ type: 'power', module: m.id, on }, b.textContent);
      });
    } else {
      // The controller does not report the spare outputs: both ways offered.
      li.className = 'spare';
      li.innerHTML = '<button type="button" data-on="1"></button><button type="button" data-on="0"></button>';
      for (const b of li.querySelectorAll('button')) {
        b.dataset.name = m.name;
        b.textContent = m.name + t(b.dataset.on === '1' ? ' Up' : ' Down');
        b.addEventListener('click', () =>
          request({ type: 'power', module: m.id, on: b.dataset.on === '1' }, b.textContent));
      }
    }
    modules.appendChild(li);
  }

  // --- Language.
  function applyLanguage() {
    document.documentElement.lang = lang;
    for (const el of document.querySelectorAll('[data-t]')) el.textContent = t(el.dataset.t);
    for (const h of document.querySelectorAll('h2')) h.dataset.stale = t('stale');
    for (const b of document.querySelectorAll('button[data-name]'))
      b.textContent = b.dataset.name + t(b.dataset.on === '1' ? ' Up' : ' Down');
    const toggle = $('lang');
    toggle.textContent = lang === 'ko' ? 'English' : '한국어';
    toggle.lang = lang === 'ko' ? 'en' : 'ko';
    setRole(role, driverTaken);
    if (lastState) render(lastState);
    plotsDrawnAt = 0;
    scheduleDraw();
  }
  $('lang').addEventListener('click', () => {
    lang = lang === 'ko' ? 'en' : 'ko';
    applyLanguage();
  });
  addEventListener('resize', () => {
    plotsDrawnAt = 0;
    scheduleDraw();
  });

  applyLanguage();
  showOffline();
  $('link').dataset.t = 'connecting';
  $('link').textContent = t('connecting');
  connect();
})();
