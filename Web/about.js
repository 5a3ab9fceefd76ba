// The About window: version and the system report.
import { get } from './api.js';

export function initAbout() {
  document.getElementById('btn-about').addEventListener('click', async () => {
    const about = await get('/api/about');
    document.getElementById('about-caption').textContent = about.body.caption || '';
    document.getElementById('about-report').value = about.body.report || about.body.error || '';
    document.getElementById('about').showModal();
  });
}
