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

function send(path, body) {
  return fetch(path, {
    method: 'POST',
    credentials: 'same-origin',
    headers: { 'Content-Type': 'application/json', 'X-Console-Token': token },
    body: JSON.stringify(body),
  });
}

// A server that restarted has forgotten the session: take the new one the
// server hands out and send once more.
export async function post(path, body = {}) {
  let result = await answer(await send(path, body));
  if (result.status === 403 && path !== '/api/login') {
    const session = await get('/api/session');
    if (session.ok && session.body.token !== token) {
      token = session.body.token;
      result = await answer(await send(path, body));
    }
  }
  return result;
}

export function archivePath(name) {
  return '/api/archives/' + encodeURIComponent(name);
}
