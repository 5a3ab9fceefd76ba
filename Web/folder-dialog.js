// The folder dialog: a browser of the server's folders; a typed name that
// does not exist yet is created after the server's question.
import { get } from './api.js';
import { submit, openModal, closeModal } from './dialog.js';

const dialog = document.createElement('dialog');
dialog.id = 'folder-dialog';
dialog.innerHTML = `
  <form method="dialog">
    <h2 id="folder-title"></h2>
    <p>Folder: <span id="folder-current"></span></p>
    <ul id="folder-list"></ul>
    <label for="folder-path">Select folder (or type new name to create):</label>
    <input type="text" id="folder-path" name="path" size="60">
    <button type="submit" id="folder-ok">OK</button>
    <button type="button" id="folder-cancel">Cancel</button>
  </form>`;
document.body.appendChild(dialog);

const list = dialog.querySelector('#folder-list');
const field = dialog.querySelector('#folder-path');
let finish = null;

async function browse(path) {
  const view = (await get('/api/dialogs/folders?path=' + encodeURIComponent(path || ''))).body;
  dialog.querySelector('#folder-current').textContent = view.path || '';
  field.value = view.path || '';
  const items = [];
  const item = (text, target, name) => {
    const li = document.createElement('li');
    const link = document.createElement('button');
    link.type = 'button';
    link.textContent = text;
    link.dataset.folder = name;
    link.addEventListener('click', () => browse(target));
    li.appendChild(link);
    items.push(li);
  };
  if (view.parent) item('..', view.parent, '..');
  for (const folder of view.folders || []) {
    item(folder.name + (folder.writable ? '' : ' (read-only)'), view.path.replace(/\/$/, '') + '/' + folder.name, folder.name);
  }
  for (const root of view.roots || []) {
    if (root !== view.path) item(root, root, root);
  }
  list.replaceChildren(...items);
}

dialog.querySelector('form').addEventListener('submit', async (event) => {
  event.preventDefault();
  const done = await submit('/api/dialogs/folders', { path: field.value });
  if (done) {
    closeModal(dialog);
    finish(done.path);
  }
});
dialog.querySelector('#folder-cancel').addEventListener('click', () => {
  closeModal(dialog);
  finish(null);
});

// Resolves to the chosen folder, or null when cancelled.
export function chooseFolder(title, start) {
  dialog.querySelector('#folder-title').textContent = title || 'Select Folder';
  return new Promise((resolve) => {
    finish = resolve;
    browse(start && start !== '.' ? start : '').then(() => openModal(dialog));
  });
}
