// The main window: the archive list, its buttons and the server's messages.
import { get, post, setToken } from './api.js';
import { ask, showMessage } from './dialogs.js';
import { renderStatus, addLevel } from './status.js';
import { initBrowser, setArchives } from './browser.js';
import { initAbout } from './about.js';
import { setupHandler } from './dialog.js';

let model = null;

function selectedNames() {
  return model ? model.rows.filter((row) => row.selected).map((row) => row.name) : [];
}

async function command(name, body = {}) {
  const result = await post('/api/command/' + name, body);
  if (!result.ok && result.body.error) showMessage(result.body.error);
  return result;
}

async function remove() {
  const archives = selectedNames();
  const question = await command('remove', { archives });
  if (question.ok && question.body.confirm && await ask(question.body.confirm)) {
    await command('remove', { archives, confirmed: true });
  }
}

async function setup(what, archive = selectedNames()[0]) {
  const handler = setupHandler(what);
  if (handler) return handler(archive);
  const result = await get('/api/setup/' + what);
  if (result.body.error) showMessage(result.body.error);
}

const statusActions = {
  start: (name) => command('start', { archive: name }),
  stop: (name) => command('stop', { archive: name }),
  options: (name) => setup('archive-options', name),
  show: (name, shown) => command('show', { archive: name, shown }),
};

function renderHeader(columns) {
  const head = document.querySelector('#archives thead tr');
  if (head.children.length === columns.length) return;
  head.replaceChildren(...columns.map((column) => {
    const th = document.createElement('th');
    th.textContent = column.title;
    th.style.textAlign = column.align;
    th.style.minWidth = column.width + 'px';
    return th;
  }));
}

function makeRow(name) {
  const tr = document.createElement('tr');
  tr.dataset.archive = name;
  model.columns.forEach((column, i) => {
    const td = document.createElement('td');
    td.dataset.column = column.title;
    td.style.textAlign = column.align;
    if (i === 0) {
      td.className = 'icon';
      const alarm = document.createElement('span');
      alarm.className = 'silence';
      td.append(document.createElement('span'), ' ', alarm);
    }
    tr.appendChild(td);
  });
  tr.addEventListener('click', (event) => {
    const names = event.ctrlKey ? [...new Set([...selectedNames(), name])] : [name];
    command('select', { archives: names });
  });
  tr.addEventListener('dblclick', () => setup('edit-archive'));
  return tr;
}

function render(next) {
  model = next;
  document.getElementById('caption').textContent = model.caption;
  document.title = model.caption;
  renderHeader(model.columns);
  // Rows are updated in place, so that a click never lands on a row that
  // has just been replaced.
  const body = document.querySelector('#archives tbody');
  const existing = new Map([...body.children].map((tr) => [tr.dataset.archive, tr]));
  model.rows.forEach((row, index) => {
    let tr = existing.get(row.name);
    existing.delete(row.name);
    if (!tr) tr = makeRow(row.name);
    tr.dataset.icon = row.icon;
    tr.classList.toggle('selected', row.selected);
    row.cells.forEach((text, i) => {
      const td = tr.children[i];
      const target = i === 0 ? td.firstChild : td;
      if (target.textContent !== text) target.textContent = text;
    });
    tr.querySelector('.silence').textContent = row.silence;
    if (body.children[index] !== tr) body.insertBefore(tr, body.children[index] || null);
  });
  for (const tr of existing.values()) tr.remove();
  const buttons = model.buttons;
  const enable = { 'btn-add': buttons.add, 'btn-edit': buttons.edit, 'btn-remove': buttons.remove,
    'btn-show': buttons.show, 'btn-start': buttons.start, 'btn-stop': buttons.stop,
    'btn-start-all': buttons.start_all, 'btn-stop-all': buttons.stop_all };
  for (const [id, on] of Object.entries(enable)) document.getElementById(id).disabled = !on;
  renderStatus(model.rows, statusActions);
  setArchives(model.rows.map((row) => row.name));
  document.body.dataset.ready = 'true';
}

function wireButtons() {
  const first = () => selectedNames()[0];
  document.getElementById('btn-start').addEventListener('click', () => command('start', { archive: first() }));
  document.getElementById('btn-stop').addEventListener('click', () => command('stop', { archive: first() }));
  document.getElementById('btn-start-all').addEventListener('click', () => command('start-all'));
  document.getElementById('btn-stop-all').addEventListener('click', () => command('stop-all'));
  document.getElementById('btn-remove').addEventListener('click', remove);
  document.getElementById('btn-show').addEventListener('click', () => command('show', { archive: first(), shown: true }));
  for (const button of document.querySelectorAll('[data-setup]')) {
    button.addEventListener('click', () => setup(button.dataset.setup));
  }
}

function listen() {
  const events = new EventSource('/api/events');
  events.addEventListener('model', (event) => render(JSON.parse(event.data)));
  events.addEventListener('level', (event) => {
    const level = JSON.parse(event.data);
    addLevel(level.archive, level.min, level.max);
  });
  events.addEventListener('message', (event) => showMessage(JSON.parse(event.data).text));
}

async function login() {
  const dialog = document.getElementById('login');
  const form = document.getElementById('login-form');
  return new Promise((resolve) => {
    form.addEventListener('submit', async (event) => {
      event.preventDefault();
      const result = await post('/api/login', {
        user: document.getElementById('login-user').value,
        password: document.getElementById('login-password').value,
      });
      if (result.ok) {
        setToken(result.body.token);
        dialog.close();
        resolve();
      } else {
        document.getElementById('login-error').textContent = result.body.error || '';
      }
    });
    dialog.showModal();
  });
}

async function start() {
  wireButtons();
  initAbout();
  initBrowser();
  const session = await get('/api/session');
  setToken(session.body.token);
  if (session.body.role === 'none') await login();
  const first = await get('/api/model');
  if (first.ok) render(first.body);
  listen();
}

start();
