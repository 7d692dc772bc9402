// Copias de seguridad: the three schedules as the editor shows them, changed while the service is
// stopped (as the console allows); the server judges them with the editor's rules and its
// messages. Any of them can be run now.

import {$} from './page-tools.js';

const SCHEDULES = [1, 2, 3];

export class BackupsView {
  constructor({api, notify}) {
    this.api = api;
    this.notify = notify;
    this.editable = false;
    this.forms = new Map();
    for (const index of SCHEDULES)
      this.forms.set(index, this.makeForm(index));
  }

  makeForm(index) {
    const form = $('backup-template').content.firstElementChild.cloneNode(true);
    form.id = `backup-${index}`;
    form.dataset.index = String(index);
    form.querySelector('h3').textContent = `Copia de Seguridad ${index}`;
    form.setAttribute('aria-label', `Copia de Seguridad ${index}`);
    form.addEventListener('submit', (event) => {
      event.preventDefault();
      this.save(index);
    });
    form.querySelector('.backup-run').addEventListener('click', () => this.run(index));
    form.elements.type.addEventListener('change', () => {
      // As in the editor: a schedule that becomes active starts on the first database.
      if (form.elements.database.selectedIndex < 0)
        form.elements.database.selectedIndex = 0;
      this.updateFields();
    });
    $('backups').append(form);
    return form;
  }

  start() {
    this.editable = false;
    this.updateFields();
  }

  stop() {}

  shown() {
    this.load();
  }

  // What was edited and not saved is not shown as stored once the editor closes (or opens).
  stateChanged(state) {
    const editable = Boolean(state.enabled?.['backup-set']);
    if (editable === this.editable)
      return;
    this.editable = editable;
    this.updateFields();
    if (!$('view-copias').hidden)
      this.load();
  }

  // The editor's rules: an inactive schedule has nothing else to set, a daily one no day.
  updateFields() {
    for (const form of this.forms.values()) {
      const type = form.elements.type.value;
      form.elements.type.disabled = !this.editable;
      form.querySelector('.backup-save').disabled = !this.editable;
      for (const name of ['database', 'hour', 'minute', 'file'])
        form.elements[name].disabled = !this.editable || type === 'Inactiva';
      form.elements.day.disabled = !this.editable || type !== 'Semanal';
    }
    $('backup-stopped').hidden = this.editable;
  }

  async load() {
    try {
      const [backups, databases] = await Promise.all([
        this.api.command('backups'),
        this.api.command('databases'),
      ]);
      const names = databases.databases.map((database) => database.name);
      for (const backup of backups.backups)
        this.fill(this.forms.get(backup.index), backup, names);
    } catch (error) {
      this.notify(error.message, true);
    }
  }

  fill(form, backup, databaseNames) {
    if (!form)
      return;
    const databases = form.elements.database;
    const names = databaseNames.includes(backup.database) || !backup.database
      ? databaseNames : [backup.database, ...databaseNames];
    databases.replaceChildren(...names.map((name) => new Option(name, name)));
    databases.value = backup.database;
    form.elements.type.value = backup.type;
    form.elements.day.value = backup.day;
    const [hour = '', minute = ''] = (backup.hour || '').split(':');
    form.elements.hour.value = hour;
    form.elements.minute.value = minute;
    form.elements.file.value = backup.file;
    this.updateFields();
  }

  async save(index) {
    const form = this.forms.get(index);
    // What the editor has enabled for the type is what is saved.
    const set = {};
    for (const name of ['type', 'database', 'day', 'hour', 'minute', 'file']) {
      if (name === 'type' || !form.elements[name].disabled)
        set[name] = form.elements[name].value;
    }
    $('backup-message').textContent = '';
    try {
      const reply = await this.api.command('backup-set', {index, set});
      this.fill(form, reply.backup, [...form.elements.database.options].map((option) => option.value));
      this.notify(`Copia de Seguridad ${index} guardada.`);
    } catch (error) {
      $('backup-message').textContent = error.message;
      this.notify('');
    }
  }

  async run(index) {
    const button = this.forms.get(index).querySelector('.backup-run');
    button.disabled = true;
    this.notify(`Copia de Seguridad ${index} en curso...`);
    try {
      const reply = await this.api.command('backup-run', {index});
      const texts = (reply.messages || []).map((message) => message.text);
      this.notify(texts.length > 0 ? texts.join(' ') : `Copia de Seguridad ${index} terminada.`);
    } catch (error) {
      this.notify(error.message, true);
    } finally {
      button.disabled = false;
    }
  }
}
