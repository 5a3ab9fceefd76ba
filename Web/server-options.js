// The Server Options dialog: the server port (used from the next start) and
// whether the server starts with the system (its systemd unit, enabled or
// disabled by the server, App/Server/ServerOptionsDialog.h).
import { get } from './api.js';
import { showMessage } from './dialogs.js';
import { closeModal, openModal, registerSetup, submit } from './dialog.js';
import { mount } from './markup.js';

let version = '';

const DIALOG = `
<dialog id="server-options" class="station" aria-labelledby="server-options-caption">
  <form id="server-options-form" method="dialog">
    <h2 id="server-options-caption">Server Options</h2>
    <label for="server-port">Server Port:</label>
    <input type="text" id="server-port" name="port" inputmode="numeric" autocomplete="off">
    <p class="note" id="server-port-note"></p>
    <input type="checkbox" id="server-boot" name="start_at_boot">
    <label class="inline" for="server-boot">Run Logrum when the system starts</label>
    <p id="server-boot-text" role="note"></p>
    <div class="buttons">
      <button type="submit" id="server-options-ok">OK</button>
      <button type="button" id="server-options-cancel">Cancel</button>
    </div>
  </form>
</dialog>`;

function $(id) { return document.getElementById(id); }

function render(values, nextVersion) {
  version = nextVersion;
  $('server-port').value = values.port;
  $('server-port-note').textContent = values.note;
  $('server-boot').checked = values.start_at_boot;
  $('server-boot').dataset.unit = values.boot;
  $('server-boot-text').textContent = values.boot_text || '';
}

async function confirm(event) {
  event.preventDefault();
  const answer = await submit('/api/server-options', {
    port: $('server-port').value.trim(), start_at_boot: $('server-boot').checked, version,
  }, {
    onTab: (tab, field) => $(field === 'port' ? 'server-port' : 'server-boot').focus(),
    onStale: (current, currentVersion) => render(current, currentVersion),
  });
  if (!answer) return;
  render(answer.options, answer.version);
  closeModal($('server-options'));
  if (answer.message) showMessage(answer.message);
}

let built = false;

registerSetup('server-options', async () => {
  if (!built) {
    built = true;
    mount('server-options', DIALOG);
    $('server-options-form').addEventListener('submit', confirm);
    $('server-options-cancel').addEventListener('click', () => closeModal($('server-options')));
  }
  const result = await get('/api/server-options');
  if (!result.ok) { showMessage(result.body.error || 'The server options cannot be read.'); return; }
  render(result.body, result.body.version);
  openModal($('server-options'));
});
