// Estado: the service started or stopped, what the console's status bar shows, the users gauge and
// a chart of the last hour. The hour before the page was opened comes from the server once; from
// then on the points are taken here once a second from the last state the watch sent, so that the
// chart moves on while nothing changes, and asks the server nothing.

import {$, formatDuration, formatNumber} from './page-tools.js';

const HOUR_OF_SECONDS = 3600;

export class StatusView {
  constructor({api, notify}) {
    this.api = api;
    this.notify = notify;
    this.state = null;
    this.startedAt = null;
    this.chart = null;
    this.lastSample = null;
    this.ticker = null;
    $('service-start').addEventListener('click', () => this.run('start', 'Servicio iniciado.'));
    $('service-stop').addEventListener('click', () => this.run('stop', 'Servicio detenido.'));
  }

  start() {
    this.state = null;
    this.lastSample = null;
    if (this.chart) {
      this.chart.data.labels = [];
      for (const set of this.chart.data.datasets)
        set.data = [];
    }
    this.readStatus();
    this.readTraffic();
    this.ticker = setInterval(() => this.tick(), 1000);
  }

  stop() {
    clearInterval(this.ticker);
    this.ticker = null;
  }

  shown() {
    this.ensureChart();
  }

  async run(command, done) {
    try {
      await this.api.command(command);
      this.notify(done);
    } catch (error) {
      this.notify(error.message, true);
    }
  }

  // What the watch does not carry: the engine, the address, the host and the time running. Read
  // again when the service starts or stops, when a new engine takes effect.
  async readStatus() {
    try {
      const status = await this.api.command('status');
      $('state-engine').textContent = status.engine;
      $('state-address').textContent = status.address || '—';
      $('state-host').textContent = status.host;
      this.startedAt = Date.now() - status.uptimeSeconds * 1000;
      this.showUptime();
    } catch (error) {
      this.notify(error.message, true);
    }
  }

  // The hour before the page was opened, from the server's own samples; the page goes on from it.
  async readTraffic() {
    try {
      const traffic = await this.api.command('traffic');
      if (!this.ensureChart())
        return;
      const data = this.chart.data;
      const step = (traffic.intervalSeconds || 1) * 1000;
      const end = Date.now();
      const count = traffic.users.length;
      const labels = traffic.users.map((_, i) =>
        new Date(end - (count - i) * step).toLocaleTimeString('es-ES'));
      data.labels.unshift(...labels);
      data.datasets[0].data.unshift(...traffic.users);
      data.datasets[1].data.unshift(...traffic.bytes);
      // The bytes that came since the server's last sample go to the page's first second.
      if (!this.lastSample || traffic.receivedBytes < this.lastSample.bytes)
        this.lastSample = {at: end, bytes: traffic.receivedBytes};
      this.trim();
      this.chart.update('none');
    } catch (error) {
      this.notify(error.message, true);
    }
  }

  stateChanged(state) {
    const wasRunning = this.state?.running;
    this.state = state;
    if (wasRunning !== undefined && wasRunning !== state.running)
      this.readStatus();
    $('service-state').textContent = state.running ? 'Servicio iniciado' : 'Servicio detenido';
    $('service-state').classList.toggle('running', state.running);
    $('service-start').disabled = !state.enabled?.start;
    $('service-stop').disabled = !state.enabled?.stop;
    $('state-port').textContent = String(state.port);
    $('state-users').textContent = `${formatNumber(state.users)} de ${formatNumber(state.maxUsers)}`;
    const gauge = $('state-users-gauge');
    gauge.max = Math.max(1, state.maxUsers);
    gauge.value = state.users;
    gauge.high = gauge.max * 0.9;
    $('state-bytes').textContent = formatNumber(state.receivedBytes);
  }

  showUptime() {
    if (this.startedAt !== null)
      $('state-uptime').textContent = formatDuration((Date.now() - this.startedAt) / 1000);
  }

  tick() {
    this.showUptime();
    if (!this.state)
      return;
    const now = Date.now();
    const bytes = this.state.receivedBytes;
    let rate = 0;
    // The counter starts again from nothing with the service.
    if (this.lastSample && bytes >= this.lastSample.bytes)
      rate = (bytes - this.lastSample.bytes) / Math.max(0.001, (now - this.lastSample.at) / 1000);
    this.lastSample = {at: now, bytes};
    this.addPoint(new Date(now), this.state.users, Math.round(rate));
  }

  addPoint(when, users, rate) {
    if (!this.ensureChart())
      return;
    const data = this.chart.data;
    data.labels.push(when.toLocaleTimeString('es-ES'));
    data.datasets[0].data.push(users);
    data.datasets[1].data.push(rate);
    this.trim();
    if (!$('view-estado').hidden)
      this.chart.update('none');
  }

  trim() {
    const data = this.chart.data;
    const extra = data.labels.length - HOUR_OF_SECONDS;
    if (extra <= 0)
      return;
    data.labels.splice(0, extra);
    for (const set of data.datasets)
      set.data.splice(0, extra);
  }

  // The library is the system's; without it the view says so and the rest works.
  ensureChart() {
    if (this.chart)
      return true;
    if (typeof window.Chart !== 'function') {
      $('chart-caption').textContent =
        'El gráfico no está disponible: el servidor no tiene la biblioteca Chart.js.';
      return false;
    }
    this.chart = new window.Chart($('state-chart'), {
      type: 'line',
      data: {
        labels: [],
        datasets: [
          {label: 'Usuarios conectados', data: [], yAxisID: 'users', borderColor: '#1f5fa8',
            backgroundColor: '#1f5fa8', pointRadius: 0, borderWidth: 2, stepped: true},
          {label: 'Bytes recibidos por segundo', data: [], yAxisID: 'bytes', borderColor: '#c46a00',
            backgroundColor: '#c46a00', pointRadius: 0, borderWidth: 1},
        ],
      },
      options: {
        animation: false,
        maintainAspectRatio: false,
        interaction: {mode: 'index', intersect: false},
        scales: {
          x: {ticks: {maxTicksLimit: 6, maxRotation: 0}},
          users: {position: 'left', beginAtZero: true, ticks: {precision: 0},
            title: {display: true, text: 'Usuarios'}},
          bytes: {position: 'right', beginAtZero: true, grid: {drawOnChartArea: false},
            title: {display: true, text: 'Bytes/s'}},
        },
        plugins: {legend: {position: 'bottom'}},
      },
    });
    return true;
  }
}
