// The web console: the login, the views and what they share (the service's state, the notice line
// and the confirmation dialog). Everything it shows comes from the server's streams; nothing is
// asked for again and again.

import {Api} from './api.js';
import {StatusView} from './status-view.js';
import {UsersView} from './users-view.js';
import {LogView} from './log-view.js';
import {DatabasesView} from './databases-view.js';
import {BackupsView} from './backups-view.js';
import {$, Streams} from './page-tools.js';

const VIEWS = ['estado', 'usuarios', 'sucesos', 'bases', 'copias'];

class Console {
  constructor() {
    this.api = new Api(() => this.sessionEnded());
    this.streams = new Streams(this.api, (reachable) => this.reachable(reachable));
    this.unreachable = false;
    const shared = {
      api: this.api,
      streams: this.streams,
      notify: (text, isError) => this.notify(text, isError),
      confirm: (text) => this.confirm(text),
      cancelConfirm: () => this.cancelConfirm(),
    };
    this.status = new StatusView(shared);
    this.users = new UsersView(shared);
    this.views = {
      estado: this.status,
      usuarios: this.users,
      sucesos: new LogView(shared),
      bases: new DatabasesView(shared),
      copias: new BackupsView(shared),
    };
    $('login-form').addEventListener('submit', (event) => {
      event.preventDefault();
      this.login();
    });
    $('logout').addEventListener('click', () => this.logout());
    window.addEventListener('hashchange', () => this.showView());
    // Another tab logged in or out: this one follows.
    window.addEventListener('storage', (event) => {
      if (event.key === 'osk-token' && event.newValue && !$('login').hidden)
        this.begin();
    });
  }

  async begin() {
    if (this.api.hasSession() && await this.api.check() === 'ok')
      this.enter();
    else
      this.showLogin('');
  }

  async login() {
    const submit = $('login-submit');
    submit.disabled = true;
    $('login-message').textContent = '';
    try {
      await this.api.login($('login-user').value, $('login-password').value);
      $('login-password').value = '';
      this.enter();
    } catch (error) {
      $('login-message').textContent = error.message;
      $('login-password').select();
    } finally {
      submit.disabled = false;
    }
  }

  async logout() {
    this.leave();
    try {
      await this.api.logout();
    } catch {
      // The session is gone from this page either way.
    }
    this.showLogin('');
  }

  // The session ended by itself: back to the login, with the view kept in the address.
  sessionEnded() {
    this.leave();
    this.showLogin('La sesión ha terminado: vuelva a iniciarla.');
  }

  enter() {
    $('login').hidden = true;
    $('console').hidden = false;
    $('logout').hidden = false;
    this.notify('');
    this.streams.open('watch', {cmd: 'watch'}, {
      onReply: (state) => this.stateChanged(state),
      onEvent: (event) => this.stateChanged(event),
    });
    for (const view of Object.values(this.views))
      view.start();
    this.showView();
  }

  leave() {
    this.cancelConfirm();
    this.reachable(true);
    this.streams.closeAll();
    for (const view of Object.values(this.views))
      view.stop();
  }

  showLogin(message) {
    $('caption').textContent = 'Osk Server';
    $('console').hidden = true;
    $('logout').hidden = true;
    $('login').hidden = false;
    $('login-message').textContent = message;
    $('login-user').focus();
  }

  stateChanged(state) {
    $('caption').textContent = state.running ? 'Osk Server - Iniciado' : 'Osk Server - Detenido';
    for (const view of Object.values(this.views))
      view.stateChanged?.(state);
  }

  showView() {
    const wanted = location.hash.slice(1);
    const name = VIEWS.includes(wanted) ? wanted : 'estado';
    for (const link of document.querySelectorAll('#views a')) {
      if (link.getAttribute('href') === '#' + name)
        link.setAttribute('aria-current', 'page');
      else
        link.removeAttribute('aria-current');
    }
    for (const view of VIEWS)
      $('view-' + view).hidden = view !== name;
    this.notify('');
    if (!$('console').hidden)
      this.views[name].shown?.();
  }

  reachable(reachable) {
    if (reachable === !this.unreachable)
      return;
    this.unreachable = !reachable;
    this.notify(reachable ? '' : 'No se puede conectar con el servidor: se reintentará.', !reachable);
  }

  notify(text, isError = false) {
    const notice = $('notice');
    notice.textContent = text;
    notice.classList.toggle('error', isError);
  }

  // Yes or no, in a modal dialog; the answer No is the default, as in the console's questions.
  confirm(text) {
    const dialog = $('confirm');
    $('confirm-text').textContent = text;
    dialog.returnValue = '';
    dialog.showModal();
    $('confirm-no').focus();
    return new Promise((resolve) => {
      dialog.addEventListener('close', () => resolve(dialog.returnValue === 'yes'), {once: true});
    });
  }

  // What the question was about has gone (the row, the session): it is answered No.
  cancelConfirm() {
    const dialog = $('confirm');
    if (dialog.open)
      dialog.close('no');
  }
}

new Console().begin();
