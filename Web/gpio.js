// The switch-input dialogs of one audio device: "GPIO Configuration" with
// the four logical inputs and their live status (read every second while it
// is open), and "Logical TCP/IP Input N Configuration" for one input. Every
// change takes effect at once on the running inputs and is saved by the
// server (App/Server/GpioDialogs.h).
import { get, post } from './api.js';
import { showMessage } from './dialogs.js';
import { closeModal, openModal, submit } from './dialog.js';
import { mount } from './markup.js';

const TICK_MS = 1000;
let device = '';
let timer = null;
let inputVersion = '';
let editing = 0;

const GPIO = `
<dialog id="gpio" class="station" aria-labelledby="gpio-caption">
  <form id="gpio-form" method="dialog">
    <h2 id="gpio-caption">GPIO Configuration</h2>
    <fieldset>
      <legend>Device</legend>
      <span class="status" id="gpio-device"></span>
    </fieldset>
    <fieldset>
      <legend>Card Contact Closure Inputs</legend>
      <p id="gpio-card-text"></p>
    </fieldset>
    <fieldset>
      <legend>Logical TCP/IP Inputs</legend>
      <div class="inputs" id="gpio-inputs">
        <span>Enable</span><span>Status</span><span></span>
      </div>
    </fieldset>
    <div class="buttons">
      <button value="ok" id="gpio-ok">OK</button>
      <button value="cancel" id="gpio-cancel">Cancel</button>
    </div>
  </form>
</dialog>`;

const INPUT = `
<dialog id="gpio-input" class="station" aria-labelledby="gpio-input-caption">
  <form id="gpio-input-form" method="dialog">
    <h2 id="gpio-input-caption">Logical TCP/IP Input Configuration</h2>
    <fieldset>
      <legend>Initial Input State</legend>
      <input type="radio" id="gpio-initial-on" name="initial" value="1">
      <label class="inline" for="gpio-initial-on">On</label>
      <input type="radio" id="gpio-initial-off" name="initial" value="0">
      <label class="inline" for="gpio-initial-off">Off</label>
    </fieldset>
    <fieldset>
      <legend>Connection Information</legend>
      <label for="gpio-host">IP Address (address:port):</label>
      <input type="text" id="gpio-host" name="host" maxlength="127" autocomplete="off">
    </fieldset>
    <fieldset>
      <legend>Command Parsing</legend>
      <input type="checkbox" id="gpio-case" name="case_sensitive">
      <label class="inline" for="gpio-case">Treat patterns as case sensitive</label>
      <label for="gpio-on">Turn input ON when this pattern is received:</label>
      <input type="text" id="gpio-on" name="on" maxlength="255" autocomplete="off">
      <label for="gpio-off">Turn input OFF when this pattern is received:</label>
      <input type="text" id="gpio-off" name="off" maxlength="255" autocomplete="off">
    </fieldset>
    <fieldset>
      <legend>Test Area</legend>
      <label for="gpio-test-text">Enter test string:</label>
      <input type="text" id="gpio-test-text" autocomplete="off">
      <button type="button" id="gpio-test">Test</button>
      <label for="gpio-test-result">Test result:</label>
      <input type="text" id="gpio-test-result" readonly>
    </fieldset>
    <div class="buttons">
      <button type="submit" id="gpio-input-ok">OK</button>
      <button type="button" id="gpio-input-cancel">Cancel</button>
    </div>
  </form>
</dialog>`;

function $(id) { return document.getElementById(id); }

function makeInputRows() {
  const grid = $('gpio-inputs');
  for (let input = 5; input <= 8; ++input) {
    const enable = document.createElement('span');
    const box = document.createElement('input');
    box.type = 'checkbox';
    box.id = `gpio-enable-${input}`;
    box.dataset.input = input;
    const label = document.createElement('label');
    label.className = 'inline';
    label.htmlFor = box.id;
    label.textContent = `Input ${input}`;
    enable.append(box, ' ', label);
    const status = document.createElement('output');
    status.className = 'status';
    status.id = `gpio-status-${input}`;
    status.dataset.input = input;
    const configure = document.createElement('button');
    configure.type = 'button';
    configure.id = `gpio-configure-${input}`;
    configure.textContent = 'Configure...';
    grid.append(enable, status, configure);
    box.addEventListener('change', () => setActive(input, box.checked));
    configure.addEventListener('click', () => openInput(input));
  }
}

function render(values) {
  $('gpio-device').textContent = values.device;
  $('gpio-card-text').textContent = values.card_text;
  for (const input of values.inputs) {
    $(`gpio-enable-${input.input}`).checked = input.active;
    $(`gpio-status-${input.input}`).textContent = input.status;
  }
}

async function refresh() {
  const result = await get('/api/gpio?device=' + encodeURIComponent(device));
  if (result.ok && $('gpio').open) render(result.body);
}

async function setActive(input, active) {
  const result = await post('/api/gpio/active', { device, input, active });
  if (result.ok) {
    render(result.body.gpio);
  } else {
    showMessage(result.body.error);
    refresh();
  }
}

async function openInput(input) {
  const result = await get(`/api/gpio/input?device=${encodeURIComponent(device)}&input=${input}`);
  if (!result.ok) { showMessage(result.body.error); return; }
  showInput(result.body, result.body.version);
  openModal($('gpio-input'));
}

function showInput(values, version) {
  editing = values.input;
  inputVersion = version;
  $('gpio-input-caption').textContent = values.caption;
  $(values.initial_state ? 'gpio-initial-on' : 'gpio-initial-off').checked = true;
  $('gpio-host').value = values.host;
  $('gpio-case').checked = values.case_sensitive;
  $('gpio-on').value = values.on;
  $('gpio-off').value = values.off;
  $('gpio-test-result').value = values.result;
}

async function test() {
  const answer = await submit('/api/gpio/test', {
    on: $('gpio-on').value, off: $('gpio-off').value, case_sensitive: $('gpio-case').checked,
    text: $('gpio-test-text').value,
  });
  if (answer) $('gpio-test-result').value = answer.result;
}

async function confirmInput(event) {
  event.preventDefault();
  const answer = await submit('/api/gpio/input', {
    device, input: editing, version: inputVersion,
    initial_state: $('gpio-initial-on').checked ? 1 : 0,
    host: $('gpio-host').value, case_sensitive: $('gpio-case').checked,
    on: $('gpio-on').value, off: $('gpio-off').value,
  }, {
    onTab: (tab, field) => { const id = { host: 'gpio-host', on: 'gpio-on', off: 'gpio-off' }[field]; if (id) $(id).focus(); },
    onStale: (current, version) => showInput(current, version),
  });
  if (!answer) return;
  closeModal($('gpio-input'));
  render(answer.gpio);
}

let built = false;

function build() {
  if (built) return;
  built = true;
  mount('gpio', GPIO);
  mount('gpio-input', INPUT);
  makeInputRows();
  // OK and Cancel both close; closing saves, whichever button closed it.
  $('gpio').addEventListener('close', async () => {
    clearInterval(timer);
    timer = null;
    const result = await post('/api/gpio/close', { device });
    if (!result.ok) showMessage(result.body.error);
  });
  $('gpio-test').addEventListener('click', test);
  $('gpio-input-form').addEventListener('submit', confirmInput);
  $('gpio-input-cancel').addEventListener('click', () => closeModal($('gpio-input')));
}

export async function openGpio(deviceName) {
  build();
  device = deviceName;
  const result = await get('/api/gpio?device=' + encodeURIComponent(device));
  if (!result.ok) { showMessage(result.body.error); return; }
  render(result.body);
  openModal($('gpio'));
  clearInterval(timer);
  timer = setInterval(refresh, TICK_MS);
}
