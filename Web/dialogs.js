// Message boxes and questions as <dialog>s; the texts are the server's.
const queue = [];
let showing = false;

function next() {
  if (showing || queue.length === 0) return;
  showing = true;
  const text = queue.shift();
  const dialog = document.getElementById('message');
  document.getElementById('message-text').textContent = text;
  dialog.addEventListener('close', () => { showing = false; next(); }, { once: true });
  dialog.showModal();
}

export function showMessage(text) {
  queue.push(text);
  next();
}

// Resolves true for Yes.
export function ask(text) {
  return new Promise((resolve) => {
    const dialog = document.getElementById('confirm');
    document.getElementById('confirm-text').textContent = text;
    dialog.returnValue = '';
    dialog.addEventListener('close', () => resolve(dialog.returnValue === 'yes'), { once: true });
    dialog.showModal();
  });
}
