'use strict';
// A client for recorder-agent and pointer-agent: each program runs as a child process and is
// driven through lines on its standard streams (docs/protocol.md). No dependencies beyond Node.

const { spawn } = require('node:child_process');
const { EventEmitter } = require('node:events');
const readline = require('node:readline');

const STARTED = 'Recording started';
const PAUSED = 'Recording paused';
const RESUMED = 'Recording resumed';
const STOPPED_PREFIX = 'Recording stopped. Output path: ';
const STOP_ERROR_PREFIX = 'Error stopping capture: ';
const STREAM_ERROR_PREFIX = 'Error: ';
// Lines on standard error that end the process before a recording starts.
const START_FAILURES = [
  'Missing config JSON',
  'SCREEN_RECORDING_PERMISSION_DENIED',
  'MICROPHONE_PERMISSION_DENIED',
];
const START_ERROR_PREFIX = 'Error starting capture: ';

/** An error line of one of the programs, or its unexpected end. */
class AgentError extends Error {
  constructor(message, details = {}) {
    super(message);
    this.name = 'AgentError';
    /** The line as the program wrote it, when there was one. */
    this.line = details.line;
    this.exitCode = details.exitCode;
    this.signal = details.signal;
  }
}

function spawnAgent(program, args, options) {
  const child = spawn(program, args, {
    env: options.env || process.env,
    cwd: options.cwd,
    stdio: ['pipe', 'pipe', 'pipe'],
  });
  // A write after the program has ended must not throw in the parent: the end is reported by
  // the 'exit' handling instead.
  child.stdin.on('error', () => {});
  return child;
}

function onLines(stream, handler) {
  readline.createInterface({ input: stream, crlfDelay: Infinity }).on('line', handler);
}

function describeExit(code, signal) {
  return signal ? `signal ${signal}` : `status ${code}`;
}

/**
 * One recorder-agent process and its recording. Created by startRecording().
 *
 * Events: 'windowUnavailable' (), 'captureError' (description), 'warning' (line),
 * 'stopped' (outputPath), 'stopFailed' (AgentError), 'unexpectedExit' (AgentError), 'exit' (code, signal).
 */
class Recording extends EventEmitter {
  constructor(request, options = {}) {
    super();
    this.outputPath = undefined;
    this.exitCode = undefined;
    this._started = false;
    this._outcome = undefined; // { path } or { error } once the recording is finished
    this._waiting = { [PAUSED]: [], [RESUMED]: [] };
    this._stopWaiters = [];
    this._errorLine = undefined;
    const text = typeof request === 'string' ? request : JSON.stringify(request || {});
    this._child = spawnAgent(options.recorderPath || 'recorder-agent', [text], options);
    this.pid = this._child.pid;
    this.started = new Promise((resolve, reject) => {
      this._resolveStart = resolve;
      this._rejectStart = reject;
    });
    // The caller may only ever await stop(); a failed start then must not be an unhandled rejection.
    this.started.catch(() => {});
    onLines(this._child.stdout, (line) => this._onStdout(line));
    onLines(this._child.stderr, (line) => this._onStderr(line));
    this._child.on('error', (error) => this._onExit(null, null, error));
    this._child.on('close', (code, signal) => this._onExit(code, signal));
  }

  _onStdout(line) {
    if (line === STARTED) {
      this._started = true;
      this._resolveStart();
    } else if (line === PAUSED || line === RESUMED) {
      const waiter = this._waiting[line].shift();
      if (waiter) waiter.resolve();
    } else if (line === 'WINDOW_UNAVAILABLE') {
      this.emit('windowUnavailable');
    } else if (line.startsWith(STOPPED_PREFIX)) {
      this._finish({ path: line.slice(STOPPED_PREFIX.length) });
    }
  }

  _onStderr(line) {
    if (START_FAILURES.includes(line) || line.startsWith(START_ERROR_PREFIX)) {
      this._errorLine = line;
      this._rejectStart(new AgentError(line, { line }));
    } else if (line.startsWith(STOP_ERROR_PREFIX)) {
      this._finish({ error: new AgentError(line, { line }) });
    } else if (line.startsWith(STREAM_ERROR_PREFIX)) {
      this.emit('captureError', line.slice(STREAM_ERROR_PREFIX.length));
    } else if (line.length > 0) {
      this.emit('warning', line);
    }
  }

  _finish(outcome, reportFailure = true) {
    if (this._outcome) return;
    this._outcome = outcome;
    if (outcome.path !== undefined) {
      this.outputPath = outcome.path;
      this.emit('stopped', outcome.path);
    } else if (reportFailure) {
      this.emit('stopFailed', outcome.error);
    }
    for (const waiter of this._stopWaiters.splice(0)) settle(waiter, outcome);
  }

  _onExit(code, signal, spawnError) {
    if (this.exitCode !== undefined) return;
    this.exitCode = code;
    const ending = spawnError
      ? new AgentError(`recorder-agent could not be started: ${spawnError.message}`)
      : new AgentError(this._errorLine || `recorder-agent ended with ${describeExit(code, signal)}`, {
          line: this._errorLine,
          exitCode: code,
          signal,
        });
    this._rejectStart(ending);
    for (const list of Object.values(this._waiting)) {
      for (const waiter of list.splice(0)) waiter.reject(ending);
    }
    if (!this._outcome) {
      // Ended without finishing the recording: killed, crashed, or a failed start.
      if (this._started) this.emit('unexpectedExit', ending);
      this._finish({ error: ending }, false);
    }
    this.emit('exit', code, signal);
  }

  _command(word, expected) {
    return new Promise((resolve, reject) => {
      if (this.exitCode !== undefined || this._outcome) {
        reject(new AgentError(`the recording is over; "${word}" was not sent`));
        return;
      }
      this._waiting[expected].push({ resolve, reject });
      this._child.stdin.write(`${word}\n`);
    });
  }

  /** Resolves when "Recording paused" arrives. */
  pause() {
    return this._command('pause', PAUSED);
  }

  /** Resolves when "Recording resumed" arrives. */
  resume() {
    return this._command('resume', RESUMED);
  }

  /**
   * Finishes the recording. Resolves with the path of the video file; rejects with the
   * "Error stopping capture: " line. After the recording finished by itself (its window went
   * away), gives that outcome.
   */
  stop() {
    return new Promise((resolve, reject) => {
      const waiter = { resolve, reject };
      if (this._outcome) {
        settle(waiter, this._outcome);
        return;
      }
      this._stopWaiters.push(waiter);
      if (this.exitCode === undefined) this._child.stdin.write('stop\n');
    });
  }

  /** Sends a signal to the process (SIGTERM finishes the recording as stop() does). */
  kill(signal = 'SIGTERM') {
    this._child.kill(signal);
  }
}

function settle(waiter, outcome) {
  if (outcome.path !== undefined) waiter.resolve(outcome.path);
  else waiter.reject(outcome.error);
}

/**
 * Starts recorder-agent with `request` (an object or its JSON text). Resolves with the Recording
 * once "Recording started" arrives; rejects with the program's error line otherwise.
 */
async function startRecording(request, options = {}) {
  const recording = new Recording(request, options);
  await recording.started;
  return recording;
}

/** Runs a program to its end; resolves with its whole output, rejects with its last error line. */
function runToEnd(program, args, options) {
  return new Promise((resolve, reject) => {
    const child = spawnAgent(program, args, options);
    child.stdin.end();
    const out = [];
    const err = [];
    child.stdout.on('data', (chunk) => out.push(chunk));
    child.stderr.on('data', (chunk) => err.push(chunk));
    child.on('error', (error) => reject(new AgentError(`${program} could not be started: ${error.message}`)));
    child.on('close', (code, signal) => {
      const stdout = Buffer.concat(out).toString('utf8');
      const errorLines = Buffer.concat(err).toString('utf8').split('\n').filter((line) => line.length > 0);
      if (code === 0) {
        resolve(stdout);
        return;
      }
      const line = errorLines[errorLines.length - 1];
      reject(new AgentError(line || `${program} ended with ${describeExit(code, signal)}`, {
        line,
        exitCode: code,
        signal,
      }));
    });
  });
}

/** The displays, windows and microphones a request can name (recorder-agent --list-sources). */
async function listSources(options = {}) {
  const text = await runToEnd(options.recorderPath || 'recorder-agent', ['--list-sources'], options);
  return JSON.parse(text);
}

const CURSOR_IMAGE_PREFIX = 'CURSOR_IMAGE:';

/** Parses one "CURSOR_IMAGE:" line; undefined for any other line. */
function parseCursorImageLine(line) {
  if (!line.startsWith(CURSOR_IMAGE_PREFIX)) return undefined;
  const fields = line.split(':');
  if (fields.length !== 6) return undefined;
  const [, name, hotX, hotY, aspect, base64] = fields;
  return {
    name,
    hotSpotX: Number(hotX),
    hotSpotY: Number(hotY),
    aspectRatio: Number(aspect),
    png: Buffer.from(base64, 'base64'),
  };
}

/** The standard cursor images (pointer-agent --export-images), each with its PNG decoded into a Buffer. */
async function exportCursorImages(options = {}) {
  const text = await runToEnd(options.pointerPath || 'pointer-agent', ['--export-images'], options);
  return text
    .split('\n')
    .map(parseCursorImageLine)
    .filter((image) => image !== undefined);
}

/**
 * One pointer-agent process. Created by startPointerMonitor().
 *
 * Events: 'state' (cursorType), 'mousedown' (button), 'mouseup' (button),
 * 'interaction' ({ kind: 'mousedown' | 'mouseup', button }), 'warning' (line), 'exit' (code, signal).
 */
class PointerMonitor extends EventEmitter {
  constructor(options = {}) {
    super();
    this.state = undefined;
    this.exitCode = undefined;
    const args = options.pollButtons ? ['--poll-buttons'] : [];
    if (options.restoreTokenPath) args.push('--restore-token-path', options.restoreTokenPath);
    this._child = spawnAgent(options.pointerPath || 'pointer-agent', args, options);
    this.pid = this._child.pid;
    this._exited = new Promise((resolve) => {
      this._child.on('close', (code, signal) => {
        this.exitCode = code;
        this.emit('exit', code, signal);
        resolve(code);
      });
    });
    this.ready = new Promise((resolve, reject) => {
      this.once('state', () => resolve());
      this._child.on('error', (error) =>
        reject(new AgentError(`pointer-agent could not be started: ${error.message}`)));
      this._exited.then((code) => reject(new AgentError(`pointer-agent ended with status ${code}`, { exitCode: code })));
    });
    this.ready.catch(() => {});
    onLines(this._child.stdout, (line) => this._onStdout(line));
    onLines(this._child.stderr, (line) => {
      if (line.length > 0) this.emit('warning', line);
    });
  }

  _onStdout(line) {
    if (line.startsWith('STATE:')) {
      this.state = line.slice('STATE:'.length);
      this.emit('state', this.state);
      return;
    }
    const match = /^INTERACTION:(mousedown|mouseup):(\d+)$/.exec(line);
    if (match) {
      const kind = match[1];
      const button = Number(match[2]);
      this.emit(kind, button);
      this.emit('interaction', { kind, button });
    }
  }

  /** Sends "stop"; resolves with the exit status. */
  stop() {
    if (this.exitCode === undefined) this._child.stdin.end('stop\n');
    return this._exited;
  }
}

/** Starts pointer-agent; resolves once its first cursor state has arrived. */
async function startPointerMonitor(options = {}) {
  const monitor = new PointerMonitor(options);
  await monitor.ready;
  return monitor;
}

module.exports = {
  AgentError,
  Recording,
  PointerMonitor,
  startRecording,
  listSources,
  startPointerMonitor,
  exportCursorImages,
  parseCursorImageLine,
};
