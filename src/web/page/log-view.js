// Sucesos: the event log as the server holds it, then each new line as it is logged, with the kind's
// icon; filtered by kind and text here, in the page. The page keeps the last lines only: the whole
// day is in the day's file, which it downloads.

import {$, formatNumber, saveFile} from './page-tools.js';

const MAX_KEPT_LINES = 20000;
const MAX_SHOWN_LINES = 2000;
const KINDS = {
  1: {icon: '/icons/log-done.png', name: 'Realizado'},
  2: {icon: '/icons/log-info.png', name: 'Información'},
  3: {icon: '/icons/log-error.png', name: 'Error'},
};

export class LogView {
  constructor({api, streams, notify}) {
    this.api = api;
    this.streams = streams;
    this.notify = notify;
    this.lines = [];
    this.renderQueued = false;
    $('log-kind').addEventListener('change', () => this.render());
    $('log-filter').addEventListener('input', () => this.render());
    $('log-save').addEventListener('click', () => this.save());
    $('log-download').addEventListener('click', () => this.download());
  }

  start() {
    this.streams.open('log', {cmd: 'log', follow: true, lines: MAX_KEPT_LINES}, {
      onReply: (reply) => {
        if (reply.ok === false) {
          this.notify(reply.error, true);
          return;
        }
        this.lines = [];
        this.queueRender();
      },
      onEvent: (event) => {
        if (event.event !== 'log')
          return;
        this.lines.push({text: event.text, kind: event.kind});
        if (this.lines.length > MAX_KEPT_LINES)
          this.lines.splice(0, this.lines.length - MAX_KEPT_LINES);
        this.queueRender();
      },
    });
  }

  // Lines that came while the view was hidden had no place to scroll to: it opens on the newest.
  shown() {
    if (this.stale) {
      this.stale = false;
      this.render();
    }
    const list = $('log-lines');
    list.scrollTop = list.scrollHeight;
  }

  stop() {
    this.lines = [];
    $('log-lines').replaceChildren();
  }

  // Lines come in bursts (the held ones at first): the list is drawn once per frame, and not at all
  // while the view is hidden, until it is shown.
  queueRender() {
    if (this.renderQueued)
      return;
    if ($('view-sucesos').hidden) {
      this.stale = true;
      return;
    }
    this.renderQueued = true;
    requestAnimationFrame(() => {
      this.renderQueued = false;
      this.render();
    });
  }

  render() {
    const kind = $('log-kind').value;
    const filter = $('log-filter').value.toLocaleLowerCase('es-ES');
    const matching = this.lines.filter((line) =>
      (kind === '' || String(line.kind) === kind) &&
      (filter === '' || line.text.toLocaleLowerCase('es-ES').includes(filter)));
    const shown = matching.slice(-MAX_SHOWN_LINES);
    const list = $('log-lines');
    const atEnd = list.scrollTop + list.clientHeight >= list.scrollHeight - 4;
    list.replaceChildren(...shown.map((line) => this.item(line)));
    if (atEnd)
      list.scrollTop = list.scrollHeight;
    $('log-count').textContent = matching.length > shown.length
      ? `Se muestran las últimas ${formatNumber(shown.length)} de ${formatNumber(matching.length)} líneas.`
      : `${formatNumber(matching.length)} líneas.`;
  }

  item(line) {
    const item = document.createElement('li');
    item.dataset.kind = String(line.kind);
    const kind = KINDS[line.kind];
    if (kind) {
      const icon = document.createElement('img');
      icon.src = kind.icon;
      icon.alt = kind.name;
      icon.title = kind.name;
      icon.width = 16;
      icon.height = 16;
      item.append(icon);
    }
    const text = document.createElement('span');
    text.textContent = line.text;
    item.append(text);
    return item;
  }

  async save() {
    try {
      await this.api.command('save-log');
      this.notify('Registro de eventos guardado.');
    } catch (error) {
      this.notify(error.message, true);
    }
  }

  async download() {
    this.notify('');
    try {
      const file = await this.api.download('/api/log-file');
      saveFile(file.blob, file.name);
      this.notify(`${file.name} descargado.`);
    } catch (error) {
      this.notify(error.message, true);
    }
  }
}
