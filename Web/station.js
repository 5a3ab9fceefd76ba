// The station's setup dialogs: audio sources (with their switch inputs),
// users and server options. Each module takes over its setup button.
import './sources.js';
import './users.js';
import './server-options.js';
