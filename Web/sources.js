// The Audio Source Manager and its Add Audio Source dialog. The server keeps
// the list, offers the free channels of each device and checks every add and
// remove (App/Server/SourceDialogs.h); this module shows and asks.
import { get } from './api.js';
import { showMessage } from './dialogs.js';
import { closeModal, openModal, registerSetup, submit } from './dialog.js';
import { fillTable, mount, selectedKeys, selectKey, wireSelection } from './markup.js';
import { openGpio } from './gpio.js';

const CHANNELS = { 3: 'Left + Right', 2: 'Left only', 1: 'Right only' };

let values = null;
let version = '';

const MANAGER = `
<dialog id="sources" class="station" aria-labelledby="sources-caption">
  <form method="dialog">
    <h2 id="sources-caption">Audio Source Manager</h2>
    <fieldset>
      <legend>Audio Sources</legend>
      <table id="sources-list"><thead><tr></tr></thead><tbody></tbody></table>
    </fieldset>
    <div class="buttons">
      <button type="button" id="sources-add">Add...</button>
      <button type="button" id="sources-remove" disabled>Remove...</button>
      <button type="button" id="sources-skim" hidden disabled>Configure Source Skim Inputs...</button>
      <button value="done" id="sources-done">Done</button>
    </div>
  </form>
</dialog>`;

const ADD = `
<dialog id="source-add" class="station" aria-labelledby="source-add-caption">
  <form id="source-add-form" method="dialog">
    <h2 id="source-add-caption">Add Audio Source</h2>
    <label for="source-add-name">Logrum source name:</label>
    <input type="text" id="source-add-name" name="name" maxlength="63" autocomplete="off">
    <label for="source-add-device">Windows audio device:</label>
    <select id="source-add-device" name="device"></select>
    <label for="source-add-channels">Channels:</label>
    <select id="source-add-channels" name="channels"></select>
    <div class="buttons">
      <button type="submit" id="source-add-ok">OK</button>
      <button type="button" id="source-add-cancel">Cancel</button>
    </div>
  </form>
</dialog>`;

function manager() { return document.getElementById('sources'); }
function list() { return document.getElementById('sources-list'); }

function render(next, nextVersion, selected) {
  values = next;
  version = nextVersion;
  const keep = selected ?? selectedKeys(list())[0];
  fillTable(list(), values.columns, values.rows,
    (row) => [row.name, row.device, row.channels], (row) => row.name);
  if (keep) selectKey(list(), keep);
  const skim = document.getElementById('sources-skim');
  skim.hidden = !values.skim_inputs;
  updateButtons();
}

function selectedRow() {
  const name = selectedKeys(list())[0];
  return values.rows.find((row) => row.name === name);
}

function updateButtons() {
  const row = selectedRow();
  document.getElementById('sources-remove').disabled = !row;
  document.getElementById('sources-skim').disabled = !row;
}

async function load() {
  const result = await get('/api/audio-sources');
  if (!result.ok) {
    showMessage(result.body.error || 'The audio sources cannot be read.');
    return false;
  }
  render(result.body, result.body.version);
  return true;
}

function fillChannels() {
  const device = values.devices.find((d) => String(d.index) === document.getElementById('source-add-device').value);
  const channels = document.getElementById('source-add-channels');
  channels.replaceChildren(...(device ? device.choices : []).map((code) => new Option(CHANNELS[code], code)));
  channels.disabled = !device || device.fixed;
}

function openAdd() {
  if (values.add_refusal) {
    showMessage(values.add_refusal);
    return;
  }
  const add = document.getElementById('source-add');
  document.getElementById('source-add-name').value = '';
  const devices = document.getElementById('source-add-device');
  devices.replaceChildren(...values.devices.filter((d) => d.use !== 3).map((d) => new Option(d.name, d.index)));
  fillChannels();
  openModal(add);
  document.getElementById('source-add-name').focus();
}

async function confirmAdd(event) {
  event.preventDefault();
  const answer = await submit('/api/audio-sources/add', {
    name: document.getElementById('source-add-name').value,
    device: Number(document.getElementById('source-add-device').value),
    channels: Number(document.getElementById('source-add-channels').value),
  }, { onTab: (tab, field) => { if (field === 'name') document.getElementById('source-add-name').focus(); } });
  if (!answer) return;
  closeModal(document.getElementById('source-add'));
  render(answer.sources, answer.version, answer.selected);
}

async function remove() {
  const row = selectedRow();
  if (!row) { showMessage('No item selected!'); return; }
  const answer = await submit('/api/audio-sources/remove', { name: row.name, version },
    { onStale: (current, currentVersion) => render(current, currentVersion) });
  if (answer) render(answer.sources, answer.version);
}

function configureSkimInputs() {
  const row = selectedRow();
  if (!row) { showMessage('No item selected!'); return; }
  openGpio(row.device);
}

let built = false;

function build() {
  if (built) return;
  built = true;
  mount('sources', MANAGER);
  mount('source-add', ADD);
  wireSelection(list(), updateButtons);
  document.getElementById('sources-add').addEventListener('click', openAdd);
  document.getElementById('sources-remove').addEventListener('click', remove);
  document.getElementById('sources-skim').addEventListener('click', configureSkimInputs);
  document.getElementById('source-add-device').addEventListener('change', fillChannels);
  document.getElementById('source-add-form').addEventListener('submit', confirmAdd);
  document.getElementById('source-add-cancel').addEventListener('click',
    () => closeModal(document.getElementById('source-add')));
}

registerSetup('audio-sources', async () => {
  build();
  if (await load()) openModal(manager());
});
