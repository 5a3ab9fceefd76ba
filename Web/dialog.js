// The configuration dialogs' common parts: modal <dialog>s with tabs, and a
// save that goes through the server's checks, questions and version test
// (the answer shapes are the server's, see App/Server/ConsoleDialogs.h).
import { post } from './api.js';
import { ask, showMessage } from './dialogs.js';

// Setup buttons of the main window ("add-archive", "users", ...) that a
// dialog module has taken over: what -> handler(selected archive name).
const handlers = new Map();

export function registerSetup(what, handler) { handlers.set(what, handler); }
export function setupHandler(what) { return handlers.get(what); }

// Shows the panel of a tabbed dialog whose tab buttons carry data-tab and
// whose panels carry data-tab-panel with the same name.
export function showTab(dialog, name) {
  if (!name) return;
  for (const button of dialog.querySelectorAll('[data-tab]')) {
    button.setAttribute('aria-selected', String(button.dataset.tab === name));
  }
  for (const panel of dialog.querySelectorAll('[data-tab-panel]')) {
    panel.hidden = panel.dataset.tabPanel !== name;
  }
}

export function wireTabs(dialog) {
  for (const button of dialog.querySelectorAll('[data-tab]')) {
    button.addEventListener('click', () => {
      if (!button.disabled) showTab(dialog, button.dataset.tab);
    });
  }
}

export function openModal(dialog) {
  if (!dialog.open) dialog.showModal();
}

export function closeModal(dialog) {
  if (dialog.open) dialog.close();
}

// Posts a dialog's request and answers the server's questions until it is
// done. Resolves to the done answer's body, or null when the dialog stays
// open (a refusal, a stale version, or the user going back to change
// something). `onTab(tab, field)` shows the named tab; `onStale(current,
// version)` puts the current values into the dialog.
export async function submit(path, body, { onTab, onStale } = {}) {
  const answers = {};
  for (;;) {
    const result = await post(path, { ...body, answers });
    const answer = result.body || {};
    if (answer.question) {
      answers[answer.key] = await ask(answer.question);
      continue;
    }
    if (answer.stale) {
      if (onStale) onStale(answer.current, answer.version);
      showMessage(answer.error);
      return null;
    }
    if (answer.error) {
      if (onTab && answer.tab) onTab(answer.tab, answer.field);
      showMessage(answer.error);
      return null;
    }
    if (answer.stay) {
      if (onTab) onTab(answer.tab);
      return null;
    }
    return answer;
  }
}
