// The console's server API: the session token for changes, JSON in and out.
let token = '';

export function setToken(value) { token = value; }

async function answer(response) {
  let body = {};
  try { body = await response.json(); } catch (e) { body = {}; }
  return { status: response.status, ok: response.ok, body };
}

export async function get(path) {
  return answer(await fetch(path, { credentials: 'same-origin' }));
}

export async function post(path, body = {}) {
  return answer(await fetch(path, {
    method: 'POST',
    credentials: 'same-origin',
    headers: { 'Content-Type': 'application/json', 'X-Console-Token': token },
    body: JSON.stringify(body),
  }));
}

export function archivePath(name) {
  return '/api/archives/' + encodeURIComponent(name);
}
