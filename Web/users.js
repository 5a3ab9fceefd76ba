// The User Manager, the user dialog (Add User / Edit User) and the User
// Access Rights dialog. Passwords go to the server and never come back: an
// edited user's password fields hold the placeholder the server names, and
// the server keeps the stored password while they still do
// (App/Server/UserDialogs.h).
import { get } from './api.js';
import { showMessage } from './dialogs.js';
import { closeModal, openModal, registerSetup, submit } from './dialog.js';
import { fillTable, mount, selectedKeys, selectKey, wireSelection } from './markup.js';

let users = null;
let user = null;         // the user dialog: { adding, version }
let rights = null;       // the rights dialog: { name, rows, version, values: Map }

const MANAGER = `
<dialog id="users" class="station" aria-labelledby="users-caption">
  <form method="dialog">
    <h2 id="users-caption">User Manager</h2>
    <table id="users-list"><thead><tr></tr></thead><tbody></tbody></table>
    <div class="buttons">
      <button type="button" id="users-add">Add...</button>
      <button type="button" id="users-edit" disabled>Edit...</button>
      <button type="button" id="users-rights" disabled>Access Rights...</button>
      <button type="button" id="users-remove" disabled>Remove...</button>
      <button value="done" id="users-done">Done</button>
    </div>
  </form>
</dialog>`;

const USER = `
<dialog id="user" class="station" aria-labelledby="user-caption">
  <form id="user-form" method="dialog">
    <h2 id="user-caption">Add User</h2>
    <label for="user-name">User (login) name:</label>
    <input type="text" id="user-name" name="name" autocomplete="off">
    <label for="user-full-name">Full name:</label>
    <input type="text" id="user-full-name" name="full_name" autocomplete="off">
    <label for="user-password">Password:</label>
    <input type="password" id="user-password" name="password" autocomplete="new-password">
    <label for="user-confirm">Password (confirm):</label>
    <input type="password" id="user-confirm" name="confirm" autocomplete="new-password">
    <div class="buttons">
      <button type="submit" id="user-ok">OK</button>
      <button type="button" id="user-cancel">Cancel</button>
    </div>
  </form>
</dialog>`;

const RIGHTS = `
<dialog id="rights" class="station" aria-labelledby="rights-caption">
  <form id="rights-form" method="dialog">
    <h2 id="rights-caption">User Access Rights</h2>
    <label for="rights-user">User:</label>
    <input type="text" id="rights-user" readonly>
    <table id="rights-list"><thead><tr></tr></thead><tbody></tbody></table>
    <div class="buttons">
      <button type="button" id="rights-access" disabled>Access to Archive</button>
      <button type="button" id="rights-live" disabled>Access to Live Stream</button>
      <button type="submit" id="rights-done">Done</button>
    </div>
  </form>
</dialog>`;

function $(id) { return document.getElementById(id); }

// ---- User Manager

function renderUsers(values, select) {
  users = values;
  const keep = select ?? selectedKeys($('users-list'))[0];
  fillTable($('users-list'), values.columns, values.rows, (row) => [row.name, row.full_name], (row) => row.name);
  if (keep) selectKey($('users-list'), keep);
  userButtons();
}

function userButtons() {
  const any = selectedKeys($('users-list')).length > 0;
  for (const id of ['users-edit', 'users-rights', 'users-remove']) $(id).disabled = !any;
}

async function loadUsers(select) {
  const result = await get('/api/users');
  if (!result.ok) { showMessage(result.body.error || 'The users cannot be read.'); return false; }
  renderUsers(result.body, select);
  return true;
}

function selectedUser() { return selectedKeys($('users-list'))[0]; }

// ---- User dialog

function focusField(field) {
  const id = { name: 'user-name', password: 'user-password' }[field];
  if (id) $(id).focus();
}

function openUserDialog(values) {
  const adding = !values;
  user = { adding, version: values ? values.version : '' };
  $('user-caption').textContent = adding ? 'Add User' : values.caption;
  $('user-name').value = adding ? '' : values.name;
  $('user-name').disabled = !adding;
  $('user-full-name').value = adding ? '' : values.full_name;
  const placeholder = adding ? '' : '*'.repeat(values.placeholder);
  $('user-password').value = placeholder;
  $('user-confirm').value = placeholder;
  openModal($('user'));
  (adding ? $('user-name') : $('user-full-name')).focus();
}

async function editUser() {
  const name = selectedUser();
  if (!name) { showMessage('No item selected!'); return; }
  const result = await get('/api/users/user?name=' + encodeURIComponent(name));
  if (!result.ok) { showMessage(result.body.error); await loadUsers(); return; }
  openUserDialog(result.body);
}

async function confirmUser(event) {
  event.preventDefault();
  const body = {
    name: $('user-name').value,
    full_name: $('user-full-name').value,
    password: $('user-password').value,
    confirm: $('user-confirm').value,
  };
  if (!user.adding) body.version = user.version;
  const answer = await submit(user.adding ? '/api/users/add' : '/api/users/edit', body, {
    onTab: (tab, field) => focusField(field),
    onStale: (current, version) => openUserDialog({ ...current, version }),
  });
  if (!answer) return;
  closeModal($('user'));
  await loadUsers(body.name);
  if (user.adding) {
    if (answer.message) showMessage(answer.message);
    if (answer.rights) await openRights(body.name);
  }
}

// ---- Access rights dialog

const yesNo = (on) => (on ? 'Yes' : 'No');

function renderRights(values) {
  rights = { name: values.name, version: values.version, rows: values.rows,
    values: new Map(values.rows.map((row) => [row.archive, row.value])) };
  $('rights-user').value = values.name;
  fillTable($('rights-list'), values.columns, values.rows,
    (row) => [row.archive, row.access, row.live], (row) => row.archive);
  rightsButtons();
}

function showRightValues() {
  for (const tr of $('rights-list').querySelectorAll('tbody tr')) {
    const value = rights.values.get(tr.dataset.key);
    tr.children[1].textContent = yesNo(value & 1);
    tr.children[2].textContent = yesNo(value & 2);
  }
}

function rightsButtons() {
  const any = selectedKeys($('rights-list')).length > 0;
  $('rights-access').disabled = !any;
  $('rights-live').disabled = !any;
}

function changeSelected(change) {
  for (const archive of selectedKeys($('rights-list'))) {
    rights.values.set(archive, change(rights.values.get(archive)));
  }
  showRightValues();
}

async function openRights(name) {
  const result = await get('/api/users/rights?name=' + encodeURIComponent(name));
  if (!result.ok) { showMessage(result.body.error); return; }
  if (result.body.refusal) { showMessage(result.body.refusal); return; }
  renderRights(result.body);
  openModal($('rights'));
}

async function confirmRights(event) {
  event.preventDefault();
  const answer = await submit('/api/users/rights', {
    name: rights.name, rights: Object.fromEntries(rights.values), version: rights.version,
  }, { onStale: (current, version) => renderRights({ ...current, version }) });
  if (answer) closeModal($('rights'));
}

async function removeUser() {
  const name = selectedUser();
  if (!name) { showMessage('No item selected!'); return; }
  const current = await get('/api/users/user?name=' + encodeURIComponent(name));
  if (!current.ok) { showMessage(current.body.error); await loadUsers(); return; }
  const answer = await submit('/api/users/remove', { name, version: current.body.version });
  if (answer) renderUsers(answer.users);
}

let built = false;

function build() {
  if (built) return;
  built = true;
  mount('users', MANAGER);
  mount('user', USER);
  mount('rights', RIGHTS);
  wireSelection($('users-list'), userButtons);
  $('users-list').addEventListener('dblclick', editUser);
  $('users-add').addEventListener('click', () => openUserDialog(null));
  $('users-edit').addEventListener('click', editUser);
  $('users-rights').addEventListener('click', () => {
    const name = selectedUser();
    if (name) openRights(name); else showMessage('No item selected!');
  });
  $('users-remove').addEventListener('click', removeUser);
  $('user-form').addEventListener('submit', confirmUser);
  $('user-cancel').addEventListener('click', () => closeModal($('user')));
  wireSelection($('rights-list'), rightsButtons, true);
  $('rights-access').addEventListener('click', () => changeSelected((v) => v ^ 1));
  $('rights-live').addEventListener('click', () => changeSelected((v) => v ^ 2));
  // Both, live only, access only, none, and round again.
  $('rights-list').addEventListener('dblclick', () => changeSelected((v) => (v - 1) & 3));
  $('rights-form').addEventListener('submit', confirmRights);
}

registerSetup('users', async () => {
  build();
  if (await loadUsers()) openModal($('users'));
});
