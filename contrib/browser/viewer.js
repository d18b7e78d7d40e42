// What both pages share: the status line, and the reports a page sends when opened with ?report
// (the test command and the delay benchmark read them from the web server's access log).
'use strict';
const params = new URLSearchParams(location.search);
const video = document.getElementById('video');
const statusLine = document.getElementById('status');
let stalls = 0;

function show(text) {
  statusLine.textContent = text;
}

video.addEventListener('waiting', function () {
  stalls++;
});
video.addEventListener('playing', function () {
  show('');
});

// The encoder of the delay benchmark draws its clock (ms since 1970) into the frame's top rows as 64 blocks
// of 40x40 pixels, white for 1: 48 bits of time, then 16 bits of check (the sum of the three 16-bit words).
const canvas = document.createElement('canvas');
canvas.width = 640;
canvas.height = 160;
const context = canvas.getContext('2d', { willReadFrequently: true });

function frameClock() {
  if (video.videoWidth !== 640 || video.videoHeight < 160) return null;
  context.drawImage(video, 0, 0, 640, 160, 0, 0, 640, 160);
  const pixels = context.getImageData(0, 0, 640, 160).data;
  const words = [0, 0, 0, 0];
  for (let bit = 0; bit < 64; bit++) {
    const x = (bit % 16) * 40 + 12, y = Math.floor(bit / 16) * 40 + 12;
    let sum = 0;
    for (let dy = 0; dy < 16; dy++) for (let dx = 0; dx < 16; dx++) sum += pixels[((y + dy) * 640 + x + dx) * 4];
    if (sum / 256 > 128) words[bit >> 4] |= 1 << (bit & 15);
  }
  if (((words[0] + words[1] + words[2]) & 0xffff) !== words[3]) return null;
  return words[0] + words[1] * 65536 + words[2] * 4294967296;
}

function report(leg) {
  let line = 'report?leg=' + leg + '&t=' + video.currentTime.toFixed(3) + '&w=' + video.videoWidth +
    '&h=' + video.videoHeight + '&stalls=' + stalls;
  if (params.has('clock')) {
    const now = Date.now(), clock = frameClock();
    line += '&delay=' + (clock === null ? '-' : now - clock);
  }
  if (video.getVideoPlaybackQuality) {
    const quality = video.getVideoPlaybackQuality();
    line += '&dropped=' + quality.droppedVideoFrames + '&frames=' + quality.totalVideoFrames;
  }
  fetch(line, { cache: 'no-store' }).catch(function () {});
}

function startReports(leg) {
  if (params.has('report')) setInterval(report, 1000, leg);
}
