// Small helpers of the station dialogs: their static markup, added to the
// page once, and list views as tables whose rows carry the item's name.

// Adds `html` (static markup, never data) to the page the first time and
// returns the element with id `id`.
export function mount(id, html) {
  let element = document.getElementById(id);
  if (!element) {
    document.body.insertAdjacentHTML('beforeend', html);
    element = document.getElementById(id);
  }
  return element;
}

// Fills a table's head from columns [{title, width}] and its body with one
// row per item: cells(item) gives the texts, key(item) the row's data-key.
export function fillTable(table, columns, items, cells, key) {
  const head = table.querySelector('thead tr');
  head.replaceChildren(...columns.map((column) => {
    const th = document.createElement('th');
    th.textContent = column.title;
    th.style.minWidth = column.width + 'px';
    return th;
  }));
  table.querySelector('tbody').replaceChildren(...items.map((item) => {
    const tr = document.createElement('tr');
    tr.dataset.key = key(item);
    for (const text of cells(item)) {
      const td = document.createElement('td');
      td.textContent = text;
      tr.appendChild(td);
    }
    return tr;
  }));
}

// The keys of the selected rows of a table.
export function selectedKeys(table) {
  return [...table.querySelectorAll('tbody tr.selected')].map((tr) => tr.dataset.key);
}

// Click selects one row, Ctrl+click adds to the selection (when `multiple`).
export function wireSelection(table, onChange, multiple = false) {
  table.addEventListener('click', (event) => {
    const tr = event.target.closest('tbody tr');
    if (!tr) return;
    if (!(multiple && event.ctrlKey)) {
      for (const other of table.querySelectorAll('tbody tr.selected')) {
        if (other !== tr) other.classList.remove('selected');
      }
      tr.classList.add('selected');
    } else {
      tr.classList.toggle('selected');
    }
    onChange();
  });
}

// Selects the row with `key` (none when absent).
export function selectKey(table, key) {
  for (const tr of table.querySelectorAll('tbody tr')) tr.classList.toggle('selected', tr.dataset.key === key);
}
