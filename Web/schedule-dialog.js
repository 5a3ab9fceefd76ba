// "Scheduled Events" and the event dialog ("Add Scheduler Event", "Edit
// Scheduler Event"). The events belong to the archive options dialog's
// working copy and are saved with it; the server checks each event on OK.
import { get } from './api.js';
import { submit, openModal, closeModal } from './dialog.js';

const DAYS = ['Monday', 'Tuesday', 'Wednesay', 'Thursday', 'Friday', 'Saturday', 'Sunday'];

const list = document.createElement('dialog');
list.id = 'schedule-dialog';
list.innerHTML = `
  <form method="dialog">
    <h2>Scheduled Events</h2>
    <table id="schedule-events">
      <thead><tr><th class="w100">Description</th><th class="w85">Time</th>
        <th class="w120">Days</th><th class="w100">Action</th></tr></thead>
      <tbody></tbody>
    </table>
    <button type="button" id="schedule-add">Add...</button>
    <button type="button" id="schedule-edit" disabled>Edit...</button>
    <button type="button" id="schedule-remove" disabled>Remove</button>
    <button type="submit" id="schedule-done">Done</button>
  </form>`;
document.body.appendChild(list);

const editor = document.createElement('dialog');
editor.id = 'event-dialog';
editor.innerHTML = `
  <form method="dialog">
    <h2 id="event-caption"></h2>
    <label for="event-description">Description</label>
    <input type="text" id="event-description" maxlength="63">
    <fieldset><legend>Action</legend>
      <label><input type="radio" name="event-action" id="event-action-0" value="0"> Start Recorder (skimming policies still apply)</label>
      <label><input type="radio" name="event-action" id="event-action-1" value="1"> Stop Recorder</label>
    </fieldset>
    <label for="event-time">Time:</label><input type="time" step="1" id="event-time">
    <fieldset><legend>Days:</legend>
      ${DAYS.map((day, bit) => `<label><input type="checkbox" id="event-day-${bit}"> ${day}</label>`).join('')}
    </fieldset>
    <button type="submit" id="event-ok">OK</button>
    <button type="button" id="event-cancel">Cancel</button>
  </form>`;
document.body.appendChild(editor);

let items = [];  // { event, row } in list order
let selected = -1;
let finishList = null;
let finishEvent = null;

function render() {
  const body = list.querySelector('tbody');
  body.replaceChildren(...items.map((item, index) => {
    const tr = document.createElement('tr');
    tr.dataset.index = index;
    tr.classList.toggle('selected', index === selected);
    for (const key of ['description', 'time', 'days', 'action']) {
      const td = document.createElement('td');
      td.textContent = item.row[key];
      tr.appendChild(td);
    }
    tr.addEventListener('click', () => { selected = index; render(); });
    tr.addEventListener('dblclick', () => { selected = index; edit(); });
    return tr;
  }));
  list.querySelector('#schedule-edit').disabled = selected < 0;
  list.querySelector('#schedule-remove').disabled = selected < 0;
}

function two(n) { return String(n).padStart(2, '0'); }

function editEvent(caption, event) {
  editor.querySelector('#event-caption').textContent = caption;
  editor.querySelector('#event-description').value = event.description;
  editor.querySelector('#event-action-' + (event.action === 1 ? 1 : 0)).checked = true;
  const t = event.time;
  editor.querySelector('#event-time').value = `${two(Math.floor(t / 3600))}:${two(Math.floor(t / 60) % 60)}:${two(t % 60)}`;
  DAYS.forEach((_, bit) => { editor.querySelector('#event-day-' + bit).checked = (event.days & (1 << bit)) !== 0; });
  return new Promise((resolve) => { finishEvent = resolve; openModal(editor); });
}

editor.querySelector('form').addEventListener('submit', async (e) => {
  e.preventDefault();
  let days = 0;
  DAYS.forEach((_, bit) => { if (editor.querySelector('#event-day-' + bit).checked) days |= 1 << bit; });
  const event = {
    description: editor.querySelector('#event-description').value,
    action: editor.querySelector('#event-action-1').checked ? 1 : 0,
    time: editor.querySelector('#event-time').value || '00:00:00',
    days,
  };
  const done = await submit('/api/dialogs/schedule-event', { event });
  if (done) { closeModal(editor); finishEvent(done); }
});
editor.querySelector('#event-cancel').addEventListener('click', () => { closeModal(editor); finishEvent(null); });

async function add() {
  const fresh = (await get('/api/dialogs/schedule-event/new')).body.event;
  const done = await editEvent('Add Scheduler Event', fresh);
  if (!done) return;
  items.push({ event: done.event, row: done.row });
  selected = items.length - 1;
  render();
}

async function edit() {
  if (selected < 0) return;
  const done = await editEvent('Edit Scheduler Event', items[selected].event);
  if (!done) return;
  items[selected] = { event: done.event, row: done.row };
  render();
}

list.querySelector('#schedule-add').addEventListener('click', add);
list.querySelector('#schedule-edit').addEventListener('click', edit);
list.querySelector('#schedule-remove').addEventListener('click', () => {
  if (selected < 0) return;
  items.splice(selected, 1);
  selected = Math.min(selected, items.length - 1);
  render();
});
list.querySelector('form').addEventListener('submit', (e) => {
  e.preventDefault();
  closeModal(list);
  finishList({ events: items.map((item) => item.event), rows: items.map((item) => item.row) });
});

// Edits a schedule: `events` with their list `rows`; resolves to the new
// { events, rows } in list order.
export function editSchedule(events, rows) {
  items = events.map((event, i) => ({ event, row: rows[i] }));
  selected = -1;
  render();
  return new Promise((resolve) => { finishList = resolve; openModal(list); });
}
