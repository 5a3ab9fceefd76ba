// The FTP server dialog: tests the values with the server's FTP sender; OK
// is open only while the fields are the ones last tested successfully. The
// address it returns shows the password as "****": the server keeps it.
import { submit, openModal, closeModal } from './dialog.js';
import { showMessage } from './dialogs.js';

const dialog = document.createElement('dialog');
dialog.id = 'ftp-dialog';
dialog.innerHTML = `
  <form method="dialog">
    <h2>Select FTP Server</h2>
    <label for="ftp-server">Server:</label><input type="text" id="ftp-server">
    <label for="ftp-port">Port:</label><input type="number" id="ftp-port" min="0" max="65535" value="21">
    <label for="ftp-folder">Upload directory on the server:</label><input type="text" id="ftp-folder">
    <label for="ftp-user">Username:</label><input type="text" id="ftp-user" autocomplete="off">
    <label for="ftp-password">Password:</label><input type="password" id="ftp-password" autocomplete="new-password">
    <button type="button" id="ftp-test">Test Connection Parameters</button>
    <button type="submit" id="ftp-ok" disabled>OK</button>
    <button type="button" id="ftp-cancel">Cancel</button>
  </form>`;
document.body.appendChild(dialog);

const ids = ['server', 'port', 'folder', 'user', 'password'];
const input = (name) => dialog.querySelector('#ftp-' + name);
let tested = null;  // the fields of the last successful test, and its entry
let finish = null;

function fields() {
  return Object.fromEntries(ids.map((name) => [name, name === 'port' ? Number(input(name).value) : input(name).value]));
}

function refresh() {
  const now = fields();
  input('ok').disabled = !tested || ids.some((name) => tested.fields[name] !== now[name]);
}

for (const name of ids) input(name).addEventListener('input', refresh);

input('test').addEventListener('click', async () => {
  const sent = fields();
  const done = await submit('/api/dialogs/ftp-test', sent);
  if (done) {
    tested = { fields: sent, entry: done.entry };
    showMessage(done.message);
  }
  refresh();
});

dialog.querySelector('form').addEventListener('submit', (event) => {
  event.preventDefault();
  if (input('ok').disabled) return;
  closeModal(dialog);
  finish(tested.entry);
});
input('cancel').addEventListener('click', () => {
  closeModal(dialog);
  finish(null);
});

// Resolves to the backup address, or null when cancelled.
export function chooseFtpServer() {
  tested = null;
  for (const name of ids) input(name).value = name === 'port' ? '21' : '';
  refresh();
  return new Promise((resolve) => {
    finish = resolve;
    openModal(dialog);
  });
}
