// The status window of each archive: its texts, its buttons and its level graph.
import { LevelGraph } from './graph.js';

const panels = new Map();  // archive name -> { element, graph }

function field(panel, name) { return panel.querySelector(`[data-field="${name}"]`); }

function makePanel(row, actions) {
  const element = document.createElement('details');
  element.className = 'status';
  element.dataset.archive = row.name;
  element.innerHTML = `
    <summary><span data-field="caption"></span> <span class="silence" data-field="silence"></span></summary>
    <dl>
      <dt>Audio:</dt><dd data-field="audio"></dd>
      <dt>Disk:</dt><dd data-field="disk"></dd>
      <dt>State:</dt><dd data-field="state"></dd>
    </dl>
    <canvas class="level-graph" width="420" height="160"></canvas>
    <button type="button" data-action="start">Start</button>
    <button type="button" data-action="stop">Stop</button>
    <button type="button" data-action="options">Options</button>`;
  element.querySelector('summary').addEventListener('click', (event) => {
    event.preventDefault();
    actions.show(row.name, !element.open);
  });
  for (const button of element.querySelectorAll('button[data-action]')) {
    button.addEventListener('click', () => actions[button.dataset.action](element.dataset.archive));
  }
  const canvas = element.querySelector('canvas');
  canvas.dataset.archive = row.name;
  const panel = { element, graph: new LevelGraph(canvas) };
  panels.set(row.name, panel);
  return panel;
}

export function renderStatus(rows, actions) {
  const container = document.getElementById('status-windows');
  const names = new Set(rows.map((row) => row.name));
  for (const [name, panel] of panels) {
    if (!names.has(name)) { panel.element.remove(); panels.delete(name); }
  }
  rows.forEach((row, index) => {
    const panel = panels.get(row.name) || makePanel(row, actions);
    const element = panel.element;
    // In list order, moving a panel only when it is out of place.
    if (container.children[index] !== element) container.insertBefore(element, container.children[index] || null);
    field(element, 'caption').textContent = row.status.caption;
    field(element, 'audio').textContent = row.status.audio;
    field(element, 'disk').textContent = row.status.disk;
    field(element, 'state').textContent = row.status.state;
    field(element, 'silence').textContent = row.silence;
    element.querySelector('[data-action="start"]').disabled = !row.status.start;
    element.querySelector('[data-action="stop"]').disabled = !row.status.stop;
    element.querySelector('[data-action="options"]').disabled = !row.status.options;
    if (element.open !== row.shown) element.open = row.shown;
  });
}

export function addLevel(archive, minimum, maximum) {
  const panel = panels.get(archive);
  if (panel) panel.graph.add(minimum, maximum);
}
