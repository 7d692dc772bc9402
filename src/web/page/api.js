// The server's web API: the login, the commands over POST and the streams over WebSockets. A
// session that has ended (expired, logged out elsewhere, the server restarted) is told once through
// onExpired, whatever request found it. The session's token is kept where every tab of the page
// finds it, as the browser shares the session's cookie between them: a login in one tab is the
// login of all.

const TOKEN_KEY = 'osk-token';
const CHECK_TIMEOUT_MS = 10000;

export class ApiError extends Error {
  constructor(message, status) {
    super(message);
    this.status = status;
  }
}

export class Api {
  constructor(onExpired) {
    this.onExpired = onExpired;
  }

  get token() {
    return localStorage.getItem(TOKEN_KEY) || '';
  }

  hasSession() {
    return this.token !== '';
  }

  async login(user, password) {
    const reply = await this.post('/api/login', {user, password}, false);
    localStorage.setItem(TOKEN_KEY, reply.token);
  }

  async logout() {
    try {
      await this.post('/api/logout', {}, true);
    } finally {
      localStorage.removeItem(TOKEN_KEY);
    }
  }

  // The command's reply; an ApiError with the server's reason when it was refused.
  command(name, args = {}) {
    return this.post('/api/' + name, args, true);
  }

  // Today's event log file, as the server saved it.
  async download(path) {
    const response = await this.fetch(path, {}, true);
    if (!response.ok)
      throw new ApiError(await reasonOf(response), response.status);
    const disposition = response.headers.get('Content-Disposition') || '';
    const name = /filename="([^"]+)"/.exec(disposition);
    return {blob: await response.blob(), name: name ? name[1] : 'registro.log'};
  }

  // A command over a WebSocket of its own: its events as they come, its reply, and the end of the
  // connection. What it returns closes it.
  stream(request, {onReply = () => {}, onEvent = () => {}, onClose = () => {}}) {
    const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
    const socket = new WebSocket(`${scheme}//${location.host}/api/ws`);
    let closedByUs = false;
    socket.addEventListener('open', () => socket.send(JSON.stringify(request)));
    socket.addEventListener('message', (message) => {
      let object;
      try {
        object = JSON.parse(message.data);
      } catch {
        return;
      }
      if (object.event)
        onEvent(object);
      else
        onReply(object);
    });
    socket.addEventListener('close', (closed) => {
      if (!closedByUs)
        onClose(closed);
    });
    return {
      close() {
        closedByUs = true;
        socket.close();
      },
    };
  }

  // 'ok' while the session stands, 'unreachable' when the server does not answer, 'ended'
  // otherwise: a WebSocket closed for no reason of ours may mean any of them.
  async check() {
    try {
      // A server that takes the connection and says nothing is as good as none.
      await this.post('/api/status', {}, true, AbortSignal.timeout(CHECK_TIMEOUT_MS));
      return 'ok';
    } catch (error) {
      return error.status === 0 ? 'unreachable' : 'ended';
    }
  }

  async post(path, body, withToken, signal = undefined) {
    const response = await this.fetch(path, {
      method: 'POST',
      headers: {'Content-Type': 'application/json'},
      body: JSON.stringify(body),
      signal,
    }, withToken);
    let reply = {};
    try {
      reply = await response.json();
    } catch {
      throw new ApiError(`Respuesta incorrecta del servidor (${response.status}).`, response.status);
    }
    if (!response.ok || reply.ok === false)
      throw new ApiError(reply.error || `Error ${response.status}.`, response.status);
    return reply;
  }

  async fetch(path, options, withToken) {
    options.method = 'POST';
    options.credentials = 'same-origin';
    const token = this.token;
    if (withToken)
      options.headers = {...options.headers, 'X-Osk-Token': token};
    let response;
    try {
      response = await fetch(path, options);
    } catch {
      throw new ApiError('No se puede conectar con el servidor.', 0);
    }
    if (withToken && (response.status === 401 || response.status === 403))
      this.expired(token);
    return response;
  }

  // A request refused with the token of a newer login (another tab's) is not the end of it.
  expired(tokenUsed = this.token) {
    if (!this.hasSession() || tokenUsed !== this.token)
      return;
    localStorage.removeItem(TOKEN_KEY);
    this.onExpired();
  }
}

async function reasonOf(response) {
  try {
    return (await response.json()).error || `Error ${response.status}.`;
  } catch {
    return `Error ${response.status}.`;
  }
}
