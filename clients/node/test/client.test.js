'use strict';
// The client against the built programs on a private headless desktop. Run by
// tests/node_client (ctest), which starts the desktop and names the programs in the environment:
// RECORDER_AGENT, POINTER_AGENT, TEST_WINDOW.

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { spawn, execFileSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const readline = require('node:readline');

const client = require('..');

const programs = { recorderPath: process.env.RECORDER_AGENT, pointerPath: process.env.POINTER_AGENT };
const LINE_TIMEOUT_MS = 15000;
let directory;

before(() => {
  assert.ok(programs.recorderPath && programs.pointerPath && process.env.TEST_WINDOW && process.env.DISPLAY,
    'RECORDER_AGENT, POINTER_AGENT, TEST_WINDOW and DISPLAY must be set');
  directory = fs.mkdtempSync(path.join(os.tmpdir(), 'node-client-'));
});

after(() => fs.rmSync(directory, { recursive: true, force: true }));

function withTimeout(promise, what, ms = LINE_TIMEOUT_MS) {
  let timer;
  const timeout = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`timed out waiting for ${what}`)), ms);
  });
  return Promise.race([promise, timeout]).finally(() => clearTimeout(timer));
}

function nextEvent(emitter, name) {
  return withTimeout(new Promise((resolve) => emitter.once(name, (...args) => resolve(args))), `'${name}'`);
}

// A test-window of ours on the desktop; resolves once it is mapped and painted.
async function openWindow(options) {
  const child = spawn(process.env.TEST_WINDOW, options, { stdio: ['pipe', 'pipe', 'inherit'] });
  const lines = readline.createInterface({ input: child.stdout });
  const [line] = await nextEvent(lines, 'line');
  const match = /^READY (\d+)$/.exec(line);
  assert.ok(match, `test-window said ${line}`);
  return {
    id: Number(match[1]),
    pid: child.pid,
    close: () => {
      child.stdin.end();
      return new Promise((resolve) => (child.exitCode !== null ? resolve() : child.once('exit', resolve)));
    },
  };
}

function videoSize(file) {
  const text = execFileSync('ffprobe', ['-v', 'error', '-select_streams', 'v:0', '-show_entries',
    'stream=width,height', '-of', 'json', file]).toString();
  const [stream] = JSON.parse(text).streams;
  return { width: stream.width, height: stream.height };
}

function xdotool(...args) {
  execFileSync('xdotool', args);
}

test('a window picked from listSources is recorded, paused, resumed and stopped', async () => {
  const window = await openWindow(['--x', '200', '--y', '150', '--width', '320', '--height', '240',
    '--title', 'Node client window', '--color', '3366CC']);
  try {
    const sources = await client.listSources(programs);
    assert.equal(sources.sourceSelection, 'list');
    const listed = sources.windows.find((w) => w.windowId === window.id);
    assert.ok(listed, `window ${window.id} is not among ${JSON.stringify(sources.windows)}`);
    assert.equal(listed.title, 'Node client window');
    assert.equal(listed.processId, window.pid);
    assert.ok(sources.displays.some((d) => d.displayId === listed.displayId));

    const outputPath = path.join(directory, 'window.mp4');
    const recording = await withTimeout(
      client.startRecording({ windowId: listed.windowId, outputPath }, programs), '"Recording started"');
    await withTimeout(recording.pause(), '"Recording paused"');
    await withTimeout(recording.resume(), '"Recording resumed"');
    const exited = nextEvent(recording, 'exit');
    assert.equal(await withTimeout(recording.stop(), '"Recording stopped"'), outputPath);
    assert.deepEqual(await exited, [0, null]);
    assert.deepEqual(videoSize(outputPath), { width: 320, height: 240 });
    // Once stopped, the outcome stays; a command can no longer be sent.
    assert.equal(await recording.stop(), outputPath);
    await assert.rejects(recording.pause(), /the recording is over/);
  } finally {
    await window.close();
  }
});

test('a start that fails rejects with the error line and the exit status', async () => {
  const outputPath = path.join(directory, 'never.mp4');
  await assert.rejects(client.startRecording({ windowId: 1, outputPath }, programs), (error) => {
    assert.ok(error instanceof client.AgentError);
    assert.equal(error.line, 'Error starting capture: Window not found');
    assert.equal(error.message, error.line);
    return true;
  });
  await assert.rejects(client.startRecording('{"displayId":-1}', programs), /^AgentError: Error starting capture: /);
  assert.equal(fs.existsSync(outputPath), false);
});

test('a window that goes away ends the recording by itself', async () => {
  const window = await openWindow(['--x', '300', '--y', '200', '--width', '200', '--height', '160']);
  const outputPath = path.join(directory, 'vanishing.mp4');
  const recording = await withTimeout(
    client.startRecording({ windowId: window.id, outputPath }, programs), '"Recording started"');
  const unavailable = nextEvent(recording, 'windowUnavailable');
  const stopped = nextEvent(recording, 'stopped');
  const exited = nextEvent(recording, 'exit');
  await window.close();
  await unavailable;
  assert.deepEqual(await stopped, [outputPath]);
  assert.deepEqual(await exited, [0, null]);
  // A later stop() gives the same outcome instead of hanging.
  assert.equal(await recording.stop(), outputPath);
});

test('a killed recorder is reported as an unexpected exit and fails a pending stop', async () => {
  const recording = await withTimeout(
    client.startRecording({ outputPath: path.join(directory, 'killed.mp4') }, programs), '"Recording started"');
  const unexpected = nextEvent(recording, 'unexpectedExit');
  recording.kill('SIGKILL');
  const [error] = await unexpected;
  assert.equal(error.signal, 'SIGKILL');
  await assert.rejects(recording.stop(), /ended with signal SIGKILL/);
});

test('the pointer monitor passes restoreTokenPath on and reports the cursor state and clicks', async () => {
  xdotool('mousemove', '1500', '900');
  // The token file matters on Wayland only: on X11 the option is accepted and nothing is written.
  const restoreTokenPath = path.join(directory, 'pointer.token');
  const monitor = await withTimeout(client.startPointerMonitor({ ...programs, restoreTokenPath }), 'the first state');
  try {
    const argv = fs.readFileSync(`/proc/${monitor.pid}/cmdline`, 'utf8').split('\0');
    assert.deepEqual(argv.slice(1, -1), ['--restore-token-path', restoreTokenPath]);
    assert.equal(monitor.state, 'arrow');
    const interactions = [];
    monitor.on('interaction', (interaction) => interactions.push(interaction));
    const released = nextEvent(monitor, 'mouseup');
    xdotool('click', '1');
    assert.deepEqual(await released, [1]);
    assert.deepEqual(interactions, [{ kind: 'mousedown', button: 1 }, { kind: 'mouseup', button: 1 }]);
  } finally {
    assert.equal(await withTimeout(monitor.stop(), 'the monitor to exit'), 0);
  }
  assert.equal(fs.existsSync(restoreTokenPath), false);
});

test('cursor images are exported as decoded PNG files', async () => {
  const images = await client.exportCursorImages(programs);
  assert.deepEqual(images.map((image) => image.name),
    ['arrow', 'text', 'pointer', 'crosshair', 'open-hand', 'closed-hand', 'resize-ew', 'resize-ns', 'not-allowed']);
  const pngSignature = Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]);
  for (const image of images) {
    assert.ok(image.png.subarray(0, 8).equals(pngSignature), `${image.name} is not a PNG`);
    // The width and height in the PNG header give the aspect ratio the line states.
    const width = image.png.readUInt32BE(16);
    const height = image.png.readUInt32BE(20);
    assert.equal(image.aspectRatio, width / height, image.name);
    assert.ok(image.hotSpotX >= 0 && image.hotSpotX <= 1 && image.hotSpotY >= 0 && image.hotSpotY <= 1, image.name);
  }
  assert.equal(client.parseCursorImageLine('STATE:arrow'), undefined);
});

test('listSources without a display rejects with the permission line', async () => {
  const env = { ...process.env, DISPLAY: ':987' };
  await assert.rejects(client.listSources({ ...programs, env }), (error) => {
    assert.equal(error.line, 'SCREEN_RECORDING_PERMISSION_DENIED');
    assert.equal(error.exitCode, 1);
    return true;
  });
});

test('npm pack puts the client, its types and its README in the tarball', () => {
  const [packed] = JSON.parse(execFileSync('npm', ['pack', '--dry-run', '--json'],
    { cwd: path.join(__dirname, '..'), stdio: ['ignore', 'pipe', 'ignore'],
      env: { ...process.env, npm_config_update_notifier: 'false', npm_config_audit: 'false' } }).toString());
  const files = packed.files.map((file) => file.path).sort();
  assert.deepEqual(files, ['README.md', 'index.d.ts', 'index.js', 'package.json']);
});
