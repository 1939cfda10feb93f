// Placeholder until the page is written: shows the channel's messages.
'use strict';
const socket = new WebSocket(`ws://${location.host}/ws`);
socket.onmessage = (event) => {
  document.getElementById('status').textContent = event.data;
};
