// Bases de Datos: the list as the console shows it, read when the view is opened and after what
// changes it; a selected database is deleted after the console's question, or given the client
// programs with the progress of the copy.

import {$, RowChoice, formatNumber} from './page-tools.js';

export class DatabasesView {
  constructor({api, streams, notify, confirm}) {
    this.api = api;
    this.streams = streams;
    this.notify = notify;
    this.confirm = confirm;
    this.rows = new RowChoice($('db-table'), 'database', () => this.updateButtons());
    this.busy = false;
    this.canRefresh = true;
    $('db-refresh').addEventListener('click', () => this.load(true));
    $('db-delete').addEventListener('click', () => this.remove());
    $('db-update-clients').addEventListener('click', () => this.updateClients());
  }

  start() {
    this.rows.show([]);
  }

  stop() {
    this.streams.close('update-clients');
    this.setBusy(false);
  }

  shown() {
    this.load(false);
  }

  stateChanged(state) {
    this.canRefresh = Boolean(state.enabled?.databases);
    this.updateButtons();
  }

  async load(refresh) {
    try {
      const reply = await this.api.command('databases', refresh ? {refresh: true} : {});
      this.show(reply.databases);
      if (refresh)
        this.notify('Lista de bases de datos actualizada.');
      this.notifyMessages(reply);
    } catch (error) {
      this.notify(error.message, true);
    }
  }

  show(databases) {
    this.rows.show(databases.map((database) => {
      const tr = document.createElement('tr');
      tr.dataset.database = database.name;
      for (const text of [database.name, database.revision, database.state]) {
        const cell = document.createElement('td');
        cell.textContent = text;
        tr.append(cell);
      }
      tr.classList.toggle('incorrect', database.state === 'Incorrecta');
      return tr;
    }));
    this.updateButtons();
  }

  updateButtons() {
    $('db-refresh').disabled = this.busy || !this.canRefresh;
    $('db-delete').disabled = this.busy || this.rows.chosen === null;
    $('db-update-clients').disabled = this.busy || this.rows.chosen === null;
  }

  setBusy(busy) {
    this.busy = busy;
    $('db-progress-box').hidden = !busy;
    this.updateButtons();
  }

  async remove() {
    const name = this.rows.chosen;
    if (name === null ||
        !await this.confirm('Va a eliminar una Base de Datos que puede estar en uso, ¿Desea continuar?'))
      return;
    try {
      const reply = await this.api.command('delete-database', {name, yes: true});
      this.notify(`Base de datos ${name} eliminada.`);
      this.notifyMessages(reply);
    } catch (error) {
      this.notify(error.message, true);
    }
    this.load(false);
  }

  // Over a WebSocket, so that the progress arrives as the copy goes.
  updateClients() {
    const name = this.rows.chosen;
    if (name === null)
      return;
    this.setBusy(true);
    const progress = $('db-progress');
    progress.value = 0;
    progress.max = 1;
    $('db-progress-text').textContent = 'Actualizando ejecutables...';
    this.streams.open('update-clients', {cmd: 'update-clients', name}, {
      onEvent: (event) => {
        if (event.text)
          $('db-progress-text').textContent = event.text;
        if (event.maximum > 0) {
          progress.max = event.maximum;
          progress.value = event.value;
          progress.setAttribute('aria-valuetext',
            `${formatNumber(event.value)} de ${formatNumber(event.maximum)}`);
        }
      },
      onReply: (reply) => {
        this.streams.close('update-clients');
        this.setBusy(false);
        if (reply.ok === false)
          this.notify(reply.error, true);
        else
          this.notify(`Ejecutables de ${name} actualizados.`);
        this.notifyMessages(reply);
      },
      onClose: () => {
        this.streams.close('update-clients');
        this.setBusy(false);
        this.notify('Se ha perdido la conexión durante la actualización de los ejecutables.', true);
      },
    });
  }

  // The boxes the console would have shown, after the outcome.
  notifyMessages(reply) {
    const texts = (reply.messages || []).map((message) => message.text).filter(Boolean);
    if (texts.length > 0)
      this.notify(texts.join(' '), reply.ok === false);
  }
}
