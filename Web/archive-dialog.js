// The archive options dialog (Add, Edit, and a status window's Options):
// seven tabs over the server's working copy. The enable rules here only
// guide the user; the server checks every field again on OK and words every
// refusal and question.
import { get } from './api.js';
import { ask } from './dialogs.js';
import { registerSetup, submit, showTab, wireTabs, openModal, closeModal } from './dialog.js';
import { chooseFolder } from './folder-dialog.js';
import { chooseFtpServer } from './ftp-dialog.js';
import { editSchedule } from './schedule-dialog.js';

const TABS = ['Archive', 'Audio Source', 'Record', 'Bitrates', 'Storage', 'Segment Size', 'Backup'];

const dialog = document.createElement('dialog');
dialog.id = 'archive-dialog';
dialog.innerHTML = `
  <form method="dialog" id="archive-form">
    <h2 id="ao-caption"></h2>
    <div role="tablist">${TABS.map((tab) => `<button type="button" role="tab" data-tab="${tab}">${tab}</button>`).join('')}</div>
    <fieldset data-tab-panel="Archive">
      <label for="ao-name">Archive name:</label><input type="text" id="ao-name">
      <label><input type="checkbox" id="ao-auto-start"> Start this archive when Logrum is launched</label>
      <label><input type="checkbox" id="ao-enable-scheduler"> Enable scheduled events</label>
      <button type="button" id="ao-edit-events">Edit Events...</button>
    </fieldset>
    <fieldset data-tab-panel="Audio Source">
      <label for="ao-source">Select audio input device for this archive:</label><select id="ao-source"></select>
    </fieldset>
    <fieldset data-tab-panel="Record">
      <fieldset><legend>Record Mode</legend>
        <label><input type="radio" name="ao-mode" id="ao-mode-0" value="0"> Continuous logging</label>
        <label><input type="radio" name="ao-mode" id="ao-mode-1" value="1"> Skimming (Record only when activated)</label>
        <label><input type="radio" name="ao-mode" id="ao-mode-2" value="2"> Smart Skimming (Change bitrate when activated)</label>
      </fieldset>
      <fieldset><legend>Skim Switches</legend>
        <p id="ao-switch-label"></p>
        ${[1, 2, 3, 4, 5, 6, 7, 8].map((n) => `<label><input type="checkbox" id="ao-switch-${n}"> ${n}</label>`).join('')}
        <p>Activate when switch is:</p>
        <label><input type="radio" name="ao-level" id="ao-level-0" value="0"> Open</label>
        <label><input type="radio" name="ao-level" id="ao-level-1" value="1"> Closed</label>
      </fieldset>
      <fieldset><legend>Skim Delays</legend>
        <label for="ao-pre-delay">Activation pre-delay:</label><input type="text" id="ao-pre-delay">
        <label for="ao-post-delay">Activation post-delay:</label><input type="text" id="ao-post-delay">
      </fieldset>
    </fieldset>
    <fieldset data-tab-panel="Bitrates">
      <label for="ao-first-bitrate" id="ao-first-label"></label><select id="ao-first-bitrate"></select>
      <label for="ao-second-bitrate">Record at this bitrate when skim switch is activated:</label><select id="ao-second-bitrate"></select>
      <label for="ao-live-bitrate">Stream audio at this bitrate:</label><select id="ao-live-bitrate"></select>
    </fieldset>
    <fieldset data-tab-panel="Storage">
      <label for="ao-folder">Audio archive location:</label><input type="text" id="ao-folder" size="50">
      <button type="button" id="ao-browse">...</button>
      <label for="ao-disk">Store a maximum of:</label><input type="text" id="ao-disk">
      <label for="ao-days">Keep at most:</label><input type="text" id="ao-days"> (days)
      <label><input type="radio" name="ao-erase" id="ao-erase-0" value="0"> Erase old files when limits are reached or disk is full</label>
      <label><input type="radio" name="ao-erase" id="ao-erase-1" value="1"> Never erase any files (Recording will stop when limits are reached)</label>
    </fieldset>
    <fieldset data-tab-panel="Segment Size">
      <label for="ao-duration">Segment duration (hh:mm):</label><input type="text" id="ao-duration">
      <label><input type="radio" name="ao-align" id="ao-align-0" value="0"> Do not align segment boundaries</label>
      <label><input type="radio" name="ao-align" id="ao-align-1" value="1"> Align segment boundaries (relative to midnight)</label>
      <label for="ao-preview">Segments will be created at these times:</label>
      <textarea id="ao-preview" readonly rows="4" cols="60"></textarea>
    </fieldset>
    <fieldset data-tab-panel="Backup">
      <label for="ao-backup">Backup Locations:</label><select id="ao-backup" size="5"></select>
      <button type="button" id="ao-add-folder">Add Folder...</button>
      <button type="button" id="ao-add-ftp">Add FTP...</button>
      <button type="button" id="ao-remove-backup">Remove</button>
    </fieldset>
    <button type="submit" id="ao-ok">OK</button>
    <button type="button" id="ao-cancel">Cancel</button>
  </form>`;
document.body.appendChild(dialog);
wireTabs(dialog);

const $ = (id) => dialog.querySelector('#' + id);
let view = null;        // the server's answer for the dialog
let version = '';
let schedule = { events: [], rows: [] };
let remembered = { first: null, second: null };  // choices of a list the mode turned off
let previewTimer = 0;

function source() { return view.sources.find((s) => s.name === $('ao-source').value) || view.sources[0]; }
function hasSource() { return $('ao-source').value !== '<none>'; }
function mode() { return Number(dialog.querySelector('input[name="ao-mode"]:checked')?.value || 0); }
function radio(name, value) { const r = $(`ao-${name}-${value}`); if (r) r.checked = true; }
function radioValue(name) { return Number(dialog.querySelector(`input[name="ao-${name}"]:checked`)?.value || 0); }

function fillBitrates(select, chosen) {
  const mono = source().mono;
  const options = [];
  view.bitrates.forEach((rate, index) => {
    if (index > 0 && mono && !rate.mono) return;
    options.push(new Option(rate.text, index));
  });
  if (chosen === -1) options.push(new Option('(as stored)', -1));
  select.replaceChildren(...options);
  select.value = String(chosen);
  if (select.value === '') select.value = '0';
}

// The Record and Bitrates tabs follow the mode and the source's switches.
function applyRules() {
  const editable = !view.read_only;
  const valid = source().valid_mask;
  const withSource = hasSource();
  for (const tab of ['Record', 'Bitrates', 'Segment Size']) {
    dialog.querySelector(`[data-tab="${tab}"]`).disabled = !withSource;
  }
  $('ao-switch-label').textContent = valid === 0 ? '(No switch inputs have been defined!)' : 'Available switch inputs:';
  if (valid === 0 && mode() !== 0) radio('mode', 0);
  $('ao-mode-1').disabled = $('ao-mode-2').disabled = !editable || valid === 0;
  const m = mode();
  for (let n = 1; n <= 8; ++n) {
    const box = $('ao-switch-' + n);
    if (m === 0) box.checked = false;
    box.disabled = !editable || m === 0 || (valid & (1 << (8 - n))) === 0;
  }
  $('ao-level-0').disabled = $('ao-level-1').disabled = !editable || m === 0 || valid === 0;
  $('ao-pre-delay').disabled = $('ao-post-delay').disabled = !editable || m === 0;
  $('ao-first-label').textContent = m === 0 ? 'Record continuously at this bitrate:'
    : m === 1 ? 'Record at this bitrate:' : 'Record at this bitrate when skim switch is not activated:';
  toggleList('first', $('ao-first-bitrate'), m !== 1, $('ao-second-bitrate'));
  toggleList('second', $('ao-second-bitrate'), m !== 0, $('ao-first-bitrate'));
  for (const id of ['ao-disk', 'ao-days', 'ao-erase-0', 'ao-erase-1']) $(id).disabled = !editable || !withSource;
  $('ao-enable-scheduler').disabled = !editable || schedule.events.length === 0;
  if (schedule.events.length === 0) $('ao-enable-scheduler').checked = false;
}

function toggleList(which, select, enabled, other) {
  if (!enabled && !select.disabled) {
    remembered[which] = select.value;
    select.value = '0';
  } else if (enabled && select.disabled && remembered[which] !== null) {
    let back = remembered[which];
    if (back === '0') back = other.value !== '0' ? other.value : (select.options[7] ? select.options[7].value : '0');
    select.value = back;
    remembered[which] = null;
  }
  select.disabled = !enabled || view.read_only;
}

function fill(values) {
  $('ao-caption').textContent = view.caption;
  dialog.dataset.readOnly = String(view.read_only);
  $('ao-name').value = values.name;
  $('ao-auto-start').checked = values.auto_start;
  $('ao-enable-scheduler').checked = values.enable_scheduler;
  const sources = $('ao-source');
  sources.replaceChildren(...view.sources.map((s) => new Option(s.name, s.name)));
  sources.value = view.sources.some((s) => s.name === values.source) ? values.source : '<none>';
  radio('mode', values.record_mode);
  for (let n = 1; n <= 8; ++n) $('ao-switch-' + n).checked = (values.switches & (1 << (n - 1))) !== 0;
  radio('level', values.level);
  $('ao-pre-delay').value = values.pre_delay;
  $('ao-post-delay').value = values.post_delay;
  fillBitrates($('ao-first-bitrate'), values.off_bitrate);
  fillBitrates($('ao-second-bitrate'), values.on_bitrate);
  fillBitrates($('ao-live-bitrate'), values.live_bitrate);
  $('ao-first-bitrate').disabled = $('ao-second-bitrate').disabled = false;
  remembered = { first: null, second: null };
  $('ao-folder').value = values.folder;
  $('ao-disk').value = values.disk_space;
  $('ao-days').value = values.days;
  radio('erase', values.erase);
  $('ao-duration').value = values.segment_duration;
  radio('align', values.segment_align);
  $('ao-preview').value = view.preview;
  $('ao-backup').replaceChildren(...values.backup.map((entry) => new Option(entry, entry)));
  schedule = { events: values.schedule, rows: view.schedule_rows };
  for (const element of dialog.querySelectorAll('input, select, button:not([data-tab]):not(#ao-ok):not(#ao-cancel)')) {
    element.disabled = view.read_only;
  }
  $('ao-name').disabled = view.read_only || !view.adding;
  applyRules();
}

function values() {
  let switches = 0;
  for (let n = 1; n <= 8; ++n) if ($('ao-switch-' + n).checked) switches |= 1 << (n - 1);
  return {
    name: $('ao-name').value,
    auto_start: $('ao-auto-start').checked,
    enable_scheduler: $('ao-enable-scheduler').checked,
    source: $('ao-source').value,
    record_mode: mode(),
    switches,
    level: radioValue('level'),
    pre_delay: $('ao-pre-delay').value,
    post_delay: $('ao-post-delay').value,
    off_bitrate: Number($('ao-first-bitrate').value),
    on_bitrate: Number($('ao-second-bitrate').value),
    live_bitrate: Number($('ao-live-bitrate').value),
    folder: $('ao-folder').value,
    disk_space: $('ao-disk').value,
    days: $('ao-days').value,
    erase: radioValue('erase'),
    segment_duration: $('ao-duration').value,
    segment_align: radioValue('align'),
    backup: [...$('ao-backup').options].map((option) => option.value),
    schedule: schedule.events,
  };
}

function schedulePreview() {
  clearTimeout(previewTimer);
  previewTimer = setTimeout(async () => {
    const query = `duration=${encodeURIComponent($('ao-duration').value)}&align=${radioValue('align')}`;
    const answer = await get('/api/dialogs/segment-preview?' + query);
    $('ao-preview').value = answer.body.preview || '';
  }, 1000);
}

async function onTab(tab) {
  showTab(dialog, tab);
  if (tab !== 'Storage' || view.read_only) return;
  if (!hasSource()) {
    const folder = await chooseFolder('Select Archive Folder', $('ao-folder').value);
    if (folder) $('ao-folder').value = folder;
  } else if ($('ao-folder').value === '.') {
    $('ao-folder').value = view.default_folder + '/' + $('ao-name').value;
  }
}

for (const button of dialog.querySelectorAll('[data-tab]')) {
  button.addEventListener('click', () => { if (!button.disabled) onTab(button.dataset.tab); });
}
$('ao-source').addEventListener('change', () => {
  const v = values();
  fillBitrates($('ao-first-bitrate'), v.off_bitrate);
  fillBitrates($('ao-second-bitrate'), v.on_bitrate);
  fillBitrates($('ao-live-bitrate'), v.live_bitrate);
  applyRules();
});
for (const r of dialog.querySelectorAll('input[name="ao-mode"]')) r.addEventListener('change', applyRules);
$('ao-duration').addEventListener('input', schedulePreview);
for (const r of dialog.querySelectorAll('input[name="ao-align"]')) r.addEventListener('change', schedulePreview);

$('ao-edit-events').addEventListener('click', async () => {
  schedule = await editSchedule(schedule.events, schedule.rows);
  applyRules();
});
$('ao-browse').addEventListener('click', async () => {
  const folder = await chooseFolder('Select Archive Folder', $('ao-folder').value);
  if (folder) $('ao-folder').value = folder;
});

function addBackup(entry) {
  const list = $('ao-backup');
  if (![...list.options].some((option) => option.value === entry)) list.add(new Option(entry, entry));
  list.value = entry;
}
$('ao-add-folder').addEventListener('click', async () => {
  const folder = await chooseFolder('Select Backup Folder', '');
  if (folder) addBackup('folder://' + folder);
});
$('ao-add-ftp').addEventListener('click', async () => {
  const entry = await chooseFtpServer();
  if (entry) addBackup(entry);
});
$('ao-remove-backup').addEventListener('click', async () => {
  const list = $('ao-backup');
  const index = list.selectedIndex;
  if (index < 0 || !await ask(view.texts.remove)) return;
  list.remove(index);
  if (list.options.length > 0) list.selectedIndex = Math.min(index, list.options.length - 1);
});

$('ao-cancel').addEventListener('click', () => closeModal(dialog));
dialog.querySelector('form').addEventListener('submit', async (event) => {
  event.preventDefault();
  if (view.read_only) { closeModal(dialog); return; }
  const path = '/api/dialogs/archives' + (view.adding ? '' : '/' + encodeURIComponent(view.values.name));
  const done = await submit(path, view.adding ? { values: values() } : { values: values(), version }, {
    onTab: (tab) => showTab(dialog, tab),
    onStale: (current, fresh) => { version = fresh; view.values = current; fill(current); },
  });
  if (done) closeModal(dialog);
});

async function open(name) {
  const answer = await get('/api/dialogs/archives/' + (name === undefined ? 'new' : encodeURIComponent(name)));
  if (!answer.ok) return;
  view = answer.body;
  version = view.version;
  fill(view.values);
  showTab(dialog, 'Archive');
  openModal(dialog);
}

registerSetup('add-archive', () => open(undefined));
registerSetup('edit-archive', (name) => { if (name !== undefined) open(name); });
registerSetup('archive-options', (name) => { if (name !== undefined) open(name); });
