/// <reference types="node" />
import { EventEmitter } from 'node:events';

/** Where the programs are and how they run. */
export interface AgentOptions {
  /** Path of recorder-agent; default "recorder-agent" on PATH. */
  recorderPath?: string;
  /** Path of pointer-agent; default "pointer-agent" on PATH. */
  pointerPath?: string;
  /**
   * Environment of the program (DISPLAY, WAYLAND_DISPLAY, RECORDER_AGENT_BACKEND, PULSE_SERVER, ...);
   * default this process's.
   */
  env?: NodeJS.ProcessEnv;
  /** Working directory (where a request without outputPath writes). */
  cwd?: string;
}

/** The recording request; every field is optional (docs/protocol.md). */
export interface RecordingRequest {
  fps?: number;
  displayId?: number;
  windowId?: number;
  windowX?: number;
  windowY?: number;
  windowWidth?: number;
  windowHeight?: number;
  outputPath?: string;
  capturesSystemAudio?: boolean;
  capturesMicrophone?: boolean;
  systemAudioOutputPath?: string;
  microphoneDeviceId?: string;
  microphoneLabel?: string;
  microphoneOutputPath?: string;
  /** Not possible on Wayland: the windows are recorded, with a "Wayland: " warning. */
  excludedProcessIds?: number[];
  /**
   * Wayland: a file that keeps the user's choice in the desktop's dialog, so that the dialog is
   * shown on the first recording only (the token is read from it and written back, mode 0600).
   * Ignored on X11.
   */
  restoreTokenPath?: string;
}

/** An error line of one of the programs, or its unexpected end. */
export class AgentError extends Error {
  /** The line as the program wrote it, e.g. "Error starting capture: Window not found". */
  readonly line?: string;
  readonly exitCode?: number | null;
  readonly signal?: NodeJS.Signals | null;
}

/** A running recorder-agent and its recording. */
export class Recording extends EventEmitter {
  constructor(request: RecordingRequest | string, options?: AgentOptions);
  readonly pid: number | undefined;
  /** Resolves on "Recording started"; rejects with the error line. */
  readonly started: Promise<void>;
  /** The path of the video file, once "Recording stopped. Output path: " arrived. */
  outputPath: string | undefined;
  /** The exit status once the process has ended (null when killed by a signal). */
  exitCode: number | null | undefined;

  /** Resolves on "Recording paused". */
  pause(): Promise<void>;
  /** Resolves on "Recording resumed". */
  resume(): Promise<void>;
  /** Finishes the files; resolves with the video file's path, rejects with the "Error stopping capture: " line. */
  stop(): Promise<string>;
  /** Sends a signal; SIGTERM, SIGINT and SIGHUP finish the recording as stop() does. */
  kill(signal?: NodeJS.Signals): void;

  /** "WINDOW_UNAVAILABLE": the recorded window went away; the recording finishes by itself ('stopped' follows). */
  on(event: 'windowUnavailable', listener: () => void): this;
  /** An "Error: " line: the capture stopped with an error; stop() still finishes the file. */
  on(event: 'captureError', listener: (description: string) => void): this;
  /** Any other line on standard error, e.g. "MICROPHONE_CAPTURE_UNAVAILABLE" or a "Wayland: " line. */
  on(event: 'warning', listener: (line: string) => void): this;
  /** The files are finished (after stop(), a signal, or the window's disappearance). */
  on(event: 'stopped', listener: (outputPath: string) => void): this;
  /** Finishing failed ("Error stopping capture: " line). */
  on(event: 'stopFailed', listener: (error: AgentError) => void): this;
  /** The process ended after "Recording started" without finishing the recording (killed or crashed). */
  on(event: 'unexpectedExit', listener: (error: AgentError) => void): this;
  on(event: 'exit', listener: (code: number | null, signal: NodeJS.Signals | null) => void): this;
  on(event: string | symbol, listener: (...args: any[]) => void): this;
}

/** Starts a recording; resolves once "Recording started" arrives, rejects with the error line otherwise. */
export function startRecording(request: RecordingRequest | string, options?: AgentOptions): Promise<Recording>;

export interface Frame {
  x: number;
  y: number;
  width: number;
  height: number;
}

export interface DisplaySource {
  displayId: number;
  name: string;
  frame: Frame;
  scale: number;
  pixelWidth: number;
  pixelHeight: number;
  primary: boolean;
}

export interface WindowSource {
  windowId: number;
  title: string;
  applicationName: string;
  processId: number | null;
  frame: Frame;
  displayId: number;
}

export interface MicrophoneSource {
  microphoneDeviceId: string;
  microphoneLabel: string;
  default: boolean;
}

export interface SourceList {
  /** "desktop-dialog": the desktop's own dialog chooses when a recording starts; displays and windows are empty. */
  sourceSelection: 'list' | 'desktop-dialog';
  displays: DisplaySource[];
  /** Topmost first. */
  windows: WindowSource[];
  microphones: MicrophoneSource[];
  systemAudioAvailable: boolean;
}

/** recorder-agent --list-sources; rejects with the error line (e.g. "SCREEN_RECORDING_PERMISSION_DENIED"). */
export function listSources(options?: AgentOptions): Promise<SourceList>;

export type CursorType =
  | 'arrow'
  | 'text'
  | 'pointer'
  | 'crosshair'
  | 'open-hand'
  | 'closed-hand'
  | 'resize-ew'
  | 'resize-ns'
  | 'not-allowed';

export interface CursorImage {
  name: CursorType;
  /** Hot spot x as a fraction of the width. */
  hotSpotX: number;
  /** Hot spot y as a fraction of the height. */
  hotSpotY: number;
  /** Width divided by height. */
  aspectRatio: number;
  /** The PNG file. */
  png: Buffer;
}

/** pointer-agent --export-images, decoded. */
export function exportCursorImages(options?: AgentOptions): Promise<CursorImage[]>;
/** One "CURSOR_IMAGE:" line decoded; undefined for any other line. */
export function parseCursorImageLine(line: string): CursorImage | undefined;

export interface PointerMonitorOptions extends AgentOptions {
  /** --poll-buttons: count button events instead of listening to them. */
  pollButtons?: boolean;
  /**
   * --restore-token-path FILE. Wayland: a file that keeps the user's choice in the desktop's dialog
   * for the cursor screen cast, so that the dialog is shown on the first run only. Ignored on X11.
   */
  restoreTokenPath?: string;
}

export interface Interaction {
  kind: 'mousedown' | 'mouseup';
  /** 1 left, 2 right, 3 middle (or other, when polling). */
  button: number;
}

/** A running pointer-agent. */
export class PointerMonitor extends EventEmitter {
  constructor(options?: PointerMonitorOptions);
  readonly pid: number | undefined;
  /** The last cursor type reported. */
  state: CursorType | undefined;
  exitCode: number | null | undefined;
  /** Resolves with the first state. */
  readonly ready: Promise<void>;
  /** Sends "stop"; resolves with the exit status. */
  stop(): Promise<number | null>;

  on(event: 'state', listener: (cursorType: CursorType) => void): this;
  on(event: 'mousedown' | 'mouseup', listener: (button: number) => void): this;
  on(event: 'interaction', listener: (interaction: Interaction) => void): this;
  /** A line on standard error, e.g. that button events cannot be listened to, or a "Wayland: " line. */
  on(event: 'warning', listener: (line: string) => void): this;
  on(event: 'exit', listener: (code: number | null, signal: NodeJS.Signals | null) => void): this;
  on(event: string | symbol, listener: (...args: any[]) => void): this;
}

/** Starts pointer-agent; resolves once the first cursor state has arrived. */
export function startPointerMonitor(options?: PointerMonitorOptions): Promise<PointerMonitor>;
