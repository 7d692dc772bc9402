// Usuarios: the rows of the console's users list, live from the watch; a selected row is
// disconnected after a question, or followed: its activity lines arrive as the client sends them,
// and are saved as the console's tracking window saves them.

import {$, RowChoice, dateText, encodeWindows1252, saveFile, shownText} from './page-tools.js';

// The console's tracking window keeps this many lines; so does the panel.
const MAX_FOLLOW_LINES = 10000;

export class UsersView {
  constructor({api, streams, notify, confirm, cancelConfirm}) {
    this.api = api;
    this.streams = streams;
    this.notify = notify;
    this.confirm = confirm;
    this.cancelConfirm = cancelConfirm;
    this.asking = null;
    this.pendingLines = [];
    this.rows = new RowChoice($('users-table'), 'user', () => this.updateButtons(),
      {Delete: () => this.disconnect()});
    this.followed = null;
    this.followLines = [];
    $('user-disconnect').addEventListener('click', () => this.disconnect());
    $('user-follow').addEventListener('click', () => this.follow());
    $('follow-save').addEventListener('click', () => this.saveFollowed());
    $('follow-close').addEventListener('click', () => this.closeFollow());
  }

  start() {
    this.shownRows = null;
  }

  stop() {
    this.closeFollow();
  }

  stateChanged(state) {
    // The state comes each second while bytes arrive: the rows are drawn again only when they
    // change, so that the focus and a screen reader's place in them stay.
    const shownRows = JSON.stringify(state.rows);
    if (shownRows === this.shownRows)
      return;
    this.shownRows = shownRows;
    this.rows.show(state.rows.map((row) => {
      const tr = document.createElement('tr');
      tr.dataset.user = row.user;
      const cell = document.createElement('td');
      cell.textContent = shownText(row.text);
      tr.append(cell);
      return tr;
    }));
    if (this.asking !== null && !state.rows.some((row) => row.user === this.asking))
      this.cancelConfirm();
    $('users-empty').hidden = state.rows.length > 0;
    this.updateButtons();
  }

  updateButtons() {
    $('user-disconnect').disabled = this.rows.chosen === null;
    $('user-follow').disabled = this.rows.chosen === null;
  }

  async disconnect() {
    const user = this.rows.chosen;
    if (user === null)
      return;
    this.asking = user;
    const yes = await this.confirm(`¿Desea cerrar la conexión de [${user}]?`);
    this.asking = null;
    if (!yes)
      return;
    try {
      await this.api.command('disconnect', {user});
      this.notify(`Conexión de [${user}] cerrada.`);
    } catch (error) {
      this.notify(error.message, true);
    }
  }

  follow() {
    const user = this.rows.chosen;
    if (user === null)
      return;
    this.closeFollow();
    this.followed = user;
    this.followLines = [];
    this.pendingLines = [];
    $('follow-lines').replaceChildren();
    $('follow-user').textContent = user;
    $('follow-state').textContent = 'Esperando la actividad del usuario...';
    $('follow-panel').hidden = false;
    this.streams.open('follow', {cmd: 'follow', user}, {
      onReply: (reply) => {
        if (reply.ok === false) {
          $('follow-state').textContent = reply.error;
          this.streams.close('follow');
        }
      },
      onEvent: (event) => {
        if (event.event === 'line')
          this.addFollowLine(event.text);
        else if (event.event === 'end') {
          $('follow-state').textContent = 'La sesión del usuario ha terminado.';
          this.streams.close('follow');
        }
      },
    });
    $('follow-lines').focus();
  }

  // A client may send hundreds of lines a second: they are drawn together, once per frame.
  addFollowLine(text) {
    this.followLines.push(text);
    this.pendingLines.push(text);
    if (this.followLines.length > MAX_FOLLOW_LINES)
      this.followLines.splice(0, this.followLines.length - MAX_FOLLOW_LINES);
    if (this.pendingLines.length === 1)
      requestAnimationFrame(() => this.drawFollowLines());
  }

  drawFollowLines() {
    const list = $('follow-lines');
    const lines = this.pendingLines.splice(0).slice(-MAX_FOLLOW_LINES);
    list.append(...lines.map((text) => {
      const item = document.createElement('li');
      item.textContent = text;
      return item;
    }));
    for (let extra = list.childElementCount - MAX_FOLLOW_LINES; extra > 0; --extra)
      list.firstElementChild.remove();
    $('follow-state').textContent = '';
    list.scrollTop = list.scrollHeight;
  }

  // The tracking window's file: the date, a rule, a blank line, then the lines, in Windows-1252.
  saveFollowed() {
    if (this.followed === null)
      return;
    const text = `[${dateText(new Date())}]\r\n--------------\r\n\r\n` +
      this.followLines.map((line) => line + '\r\n').join('');
    saveFile(new Blob([encodeWindows1252(text)], {type: 'text/plain'}), `${this.followed}.txt`);
  }

  closeFollow() {
    this.streams.close('follow');
    this.followed = null;
    this.pendingLines = [];
    $('follow-panel').hidden = true;
  }
}
