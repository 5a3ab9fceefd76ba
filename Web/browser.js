// The archive browser: a day's segments from the index, playback from any
// position, export of a time range, and the live stream.
import { get, archivePath } from './api.js';
import { showMessage } from './dialogs.js';

function archive() { return document.getElementById('browser-archive').value; }

export function setArchives(names) {
  const select = document.getElementById('browser-archive');
  const current = select.value;
  if ([...select.options].map((o) => o.value).join('/') === names.join('/')) return;
  select.replaceChildren(...names.map((name) => new Option(name, name)));
  if (names.includes(current)) select.value = current;
}

async function loadDay(event) {
  event.preventDefault();
  const day = document.getElementById('browser-day').value;
  const result = await get(archivePath(archive()) + '/days/' + day);
  const list = document.getElementById('segments');
  if (!result.ok) {
    list.replaceChildren();
    showMessage(result.body.error || String(result.status));
    return;
  }
  list.replaceChildren(...result.body.segments.map((segment) => {
    const item = document.createElement('li');
    item.dataset.start = segment.start;
    item.dataset.durationMs = segment.duration_ms;
    item.textContent = `${segment.time}  ${(segment.duration_ms / 1000).toFixed(1)} s${segment.skim ? '  skim' : ''}`;
    item.addEventListener('click', () => play(item));
    return item;
  }));
  document.body.dataset.segmentsLoaded = String(result.body.segments.length);
}

function play(item) {
  for (const other of document.querySelectorAll('#segments li')) other.classList.remove('playing');
  item.classList.add('playing');
  const player = document.getElementById('player');
  player.src = archivePath(archive()) + '/segments/' + item.dataset.start + '.mp3';
  player.play().catch(() => {});
}

function exportRange(event) {
  event.preventDefault();
  const withSeconds = (value) => (value.length === 16 ? value + ':00' : value);
  const from = withSeconds(document.getElementById('export-from').value);
  const to = withSeconds(document.getElementById('export-to').value);
  const link = document.createElement('a');
  link.href = archivePath(archive()) + '/export?from=' + encodeURIComponent(from) + '&to=' + encodeURIComponent(to);
  link.download = '';
  document.body.appendChild(link);
  link.click();
  link.remove();
}

export function initBrowser() {
  const today = new Date();
  const pad = (n) => String(n).padStart(2, '0');
  document.getElementById('browser-day').value =
    `${today.getFullYear()}-${pad(today.getMonth() + 1)}-${pad(today.getDate())}`;
  document.getElementById('browser-form').addEventListener('submit', loadDay);
  document.getElementById('export-form').addEventListener('submit', exportRange);
  const live = document.getElementById('live-player');
  document.getElementById('live-play').addEventListener('click', () => {
    live.src = archivePath(archive()) + '/live';
    live.play().catch(() => {});
  });
  document.getElementById('live-stop').addEventListener('click', () => {
    live.pause();
    live.removeAttribute('src');
    live.load();
  });
}
