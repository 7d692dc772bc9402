// What the views share: element lookup, the Spanish number and time formats, the files they hand
// to the browser to save, and the streams kept open while the session lasts.

export const $ = (id) => document.getElementById(id);

const thousands = new Intl.NumberFormat('es-ES', {useGrouping: 'always', maximumFractionDigits: 0});

export function formatNumber(value) {
  return thousands.format(value);
}

export function formatDuration(seconds) {
  const whole = Math.max(0, Math.floor(seconds));
  const days = Math.floor(whole / 86400);
  const hours = Math.floor((whole % 86400) / 3600);
  const minutes = Math.floor((whole % 3600) / 60);
  const rest = whole % 60;
  const clock = `${hours} h ${String(minutes).padStart(2, '0')} min ${String(rest).padStart(2, '0')} s`;
  return days > 0 ? `${days} d ${clock}` : clock;
}

// A client's text as the event log shows it: its control characters as blanks.
export function shownText(text) {
  return text.replace(/[\u0000-\u001f\u007f-\u009f]/g, ' ');
}

export function dateText(date) {
  const two = (value) => String(value).padStart(2, '0');
  return `${two(date.getDate())}/${two(date.getMonth() + 1)}/${date.getFullYear()}`;
}

// The server's text files are in Windows-1252: what it has no byte for is written "?", as there.
const HIGH_1252 = '€\u0081‚ƒ„…†‡ˆ‰Š‹Œ\u008dŽ\u008f\u0090‘’“”•–—˜™š›œ\u009džŸ';

export function encodeWindows1252(text) {
  const bytes = new Uint8Array(text.length);
  let length = 0;
  for (const character of text) {
    const code = character.codePointAt(0);
    const high = HIGH_1252.indexOf(character);
    if (code < 0x80 || (code >= 0xa0 && code <= 0xff))
      bytes[length++] = code;
    else if (high >= 0)
      bytes[length++] = 0x80 + high;
    else
      bytes[length++] = 0x3f;
  }
  return bytes.slice(0, length);
}

export function saveFile(blob, name) {
  const link = document.createElement('a');
  link.href = URL.createObjectURL(blob);
  link.download = name;
  document.body.append(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(link.href), 60000);
}

// The rows of a table, one of them chosen at a time with the mouse or the keyboard: Tab or the
// arrows to a row, Enter or Space to choose it; other keys as `keys` says. The choice is kept by
// the rows' key (their data-`field`) while the rows are drawn again, and forgotten when its row
// has gone.
export class RowChoice {
  constructor(table, field, onChange, keys = {}) {
    this.body = table.tBodies[0];
    this.field = field;
    this.onChange = onChange;
    this.chosen = null;
    this.body.addEventListener('click', (event) => this.choose(event.target.closest('tr')));
    this.body.addEventListener('keydown', (event) => {
      const row = event.target.closest('tr');
      if (!row)
        return;
      if (event.key === 'Enter' || event.key === ' ') {
        event.preventDefault();
        this.choose(row);
      } else if (event.key === 'ArrowDown' || event.key === 'ArrowUp') {
        event.preventDefault();
        (event.key === 'ArrowDown' ? row.nextElementSibling : row.previousElementSibling)?.focus();
      } else if (keys[event.key]) {
        this.choose(row);
        keys[event.key]();
      }
    });
  }

  // The rows anew, each made focusable; the focus stays on the row of the same key.
  show(rows) {
    const focused = this.body.contains(document.activeElement) ? document.activeElement.dataset[this.field] : null;
    for (const row of rows)
      row.tabIndex = 0;
    this.body.replaceChildren(...rows);
    this.mark();
    rows.find((row) => row.dataset[this.field] === focused)?.focus();
  }

  choose(row) {
    if (!row)
      return;
    this.chosen = row.dataset[this.field];
    this.mark();
    this.onChange();
  }

  mark() {
    let found = false;
    for (const row of this.body.rows) {
      const chosen = row.dataset[this.field] === this.chosen;
      found ||= chosen;
      row.setAttribute('aria-selected', String(chosen));
    }
    if (!found)
      this.chosen = null;
  }
}

// The streams of the session by name: one of a name at a time. One that the server closes is opened
// again once the session is known to stand, later and later while it keeps failing.
export class Streams {
  // onReachable(false) while a stream cannot be opened again because the server does not answer,
  // onReachable(true) once one is.
  constructor(api, onReachable = () => {}) {
    this.api = api;
    this.onReachable = onReachable;
    this.open_ = new Map();
  }

  open(name, request, handlers) {
    this.close(name);
    const entry = {retry: null, delay: 1000, socket: null};
    const current = () => this.open_.get(name) === entry;
    // An unreachable server is tried again; a session that has ended closes every stream.
    const retry = () => {
      entry.retry = setTimeout(async () => {
        if (!current())
          return;
        const session = await this.api.check();
        if (session === 'ok')
          connect();
        else if (session === 'unreachable') {
          this.onReachable(false);
          retry();
        }
      }, entry.delay);
      entry.delay = Math.min(entry.delay * 2, 30000);
    };
    const connect = () => {
      if (!current())
        return;
      entry.socket = this.api.stream(request, {
        ...handlers,
        onReply: (reply) => {
          entry.delay = 1000;
          this.onReachable(true);
          handlers.onReply?.(reply);
        },
        onClose: () => {
          handlers.onClose?.();
          retry();
        },
      });
    };
    this.open_.set(name, entry);
    connect();
  }

  close(name) {
    const entry = this.open_.get(name);
    if (!entry)
      return;
    clearTimeout(entry.retry);
    entry.socket?.close();
    this.open_.delete(name);
  }

  closeAll() {
    for (const name of [...this.open_.keys()])
      this.close(name);
  }
}
