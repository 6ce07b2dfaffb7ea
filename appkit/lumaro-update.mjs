// Lumaro app kit: updates from the vendor's signed static feed. Checks the
// channel's manifest, rebuilds the new exe in the data folder from the
// running exe's unchanged segments plus downloaded parts, each verified, and
// has the package's helper put it in place of the exe once the launcher ends.
// Copy it beside lumaro.mjs; it needs nothing but Node.js.
import { spawn } from 'node:child_process';
import { constants as fsConstants, createReadStream } from 'node:fs';
import { copyFile, open, readFile, readdir, rename, stat, unlink } from 'node:fs/promises';
import { createHash, createPublicKey, randomBytes, verify } from 'node:crypto';
import http from 'node:http';
import https from 'node:https';
import path from 'node:path';
import { compareReleaseVersions, dataFolder, isReleaseVersion, runtimeFolder } from './lumaro.mjs';

const FORMAT = 1;
const MAX_ENVELOPE_BYTES = 1 << 20;
const MAX_EXE_BYTES = 2 ** 32;
// What one more request costs beside its body, in bytes: headers and a round trip.
const REQUEST_COST = 4096;
const STATE_FILE = 'update-state.json';
const PARTIAL = /^update-[0-9a-f]{16}\.exe\.partial$/;
const STAGED = /^update-[0-9a-f]{16}\.exe$/;
// The helper runs from a copy of its own in the data folder: the runtime
// folder stays free for the prune, and the copy is made afresh each time
// from this runtime's package, never taken from anywhere else.
const HELPER = ['.lumaro', 'update.exe'];
const HELPER_COPY = /^update-helper-[0-9a-f]{8}\.exe$/;
const RESULT_FILE = 'update-result.json';
const RESULT_LEFTOVER = /^update-result\.json\.tmp$/;
// Opening the launcher and checking the staged exe take the helper moments.
const HELPER_ANSWER_MS = 30000;
const CHANNEL = /^[a-z0-9][a-z0-9._-]{0,63}$/;
const SHA256 = /^[0-9a-f]{64}$/;
const BUILD_ID = /^[0-9a-f]{16}$/;
const EXPIRES = /^\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}Z$/;
const PE_BLOCK = 16 * 1024;
const STREAM_MAGIC = Buffer.from([0x0a, 0x51, 0xe5, 0xc0]);

/**
 * Why an update was refused or failed. `reason` is one of: 'not-configured',
 * 'bad-url', 'network', 'timeout', 'redirect', 'manifest-too-large',
 * 'bad-manifest', 'untrusted-key', 'bad-signature', 'wrong-product',
 * 'wrong-channel', 'expired', 'rollback', 'downgrade', 'part-too-large',
 * 'bad-part', 'exe-mismatch', 'io', 'not-downloaded', 'apply-failed'. The
 * running version is never touched until the launcher has ended.
 */
export class UpdateError extends Error {
  constructor(reason, message, cause) {
    super(message, cause === undefined ? undefined : { cause });
    this.name = 'UpdateError';
    this.reason = reason;
  }
}

function limits(options) {
  return {
    connectTimeoutMs: options.connectTimeoutMs ?? 15000,
    idleTimeoutMs: options.idleTimeoutMs ?? 30000,
  };
}

// One GET of a file of at most maxBytes, its body handed to onChunk piece by
// piece. Redirects are refused: a feed is static files under one origin.
// With resume = { from, onStart }, only the bytes from `from` on are asked
// for; onStart(at) says where the body starts: `from` when the server sent
// that range, 0 when it sent the whole file. Returns the bytes received.
async function get(url, maxBytes, tooLarge, options, onChunk, resume = null) {
  const { connectTimeoutMs, idleTimeoutMs } = limits(options);
  let failure = null;
  let req;
  const fail = (error) => {
    failure ??= error;
    req.destroy(failure);
  };
  const connectTimer = setTimeout(() => fail(new UpdateError('timeout', `no connection to ${url.host}`)),
    connectTimeoutMs);
  try {
    const res = await new Promise((resolve, reject) => {
      const client = url.protocol === 'https:' ? https : http;
      const headers = { 'accept-encoding': 'identity' };
      if (resume) headers.range = `bytes=${resume.from}-`;
      req = client.get(url, { agent: false, headers });
      req.on('socket', (socket) => {
        socket.once(url.protocol === 'https:' ? 'secureConnect' : 'connect', () => clearTimeout(connectTimer));
      });
      req.setTimeout(idleTimeoutMs, () => fail(new UpdateError('timeout', `${url} stopped sending`)));
      req.on('error', (error) => reject(failure ?? error));
      req.on('response', resolve);
    });
    clearTimeout(connectTimer);
    if (res.statusCode >= 300 && res.statusCode < 400) {
      throw new UpdateError('redirect', `${url} redirects elsewhere; the feed must serve it directly`);
    }
    let at = 0;
    if (resume && res.statusCode === 206) {
      // Only the range asked for, of a file of the size expected, is used.
      const range = /^bytes (\d+)-(\d+)\/(\d+)$/.exec(res.headers['content-range'] ?? '');
      if (!range || Number(range[1]) !== resume.from || Number(range[3]) !== maxBytes
          || Number(range[2]) !== Number(range[3]) - 1) {
        throw new UpdateError('network', `${url} answered a range that was not asked for`);
      }
      at = resume.from;
    } else if (res.statusCode !== 200) {
      throw new UpdateError('network', `${url} answered ${res.statusCode}`);
    }
    const allowed = maxBytes - at;
    if (Number(res.headers['content-length']) > allowed) throw tooLarge();
    await resume?.onStart(at);
    let received = 0;
    for await (const chunk of res) {
      received += chunk.length;
      if (received > allowed) throw tooLarge();
      await onChunk(chunk);
    }
    if (!res.complete) throw new UpdateError('network', `${url} ended early`);
    return received;
  } catch (error) {
    if (failure) throw failure;
    if (error instanceof UpdateError) throw error;
    throw new UpdateError('network', `${url}: ${error.message}`, error);
  } finally {
    clearTimeout(connectTimer);
    req?.destroy();
  }
}

function places(options) {
  const runtime = options.runtimeFolder ?? runtimeFolder();
  const data = options.dataFolder ?? dataFolder();
  if (!runtime || !data) throw new UpdateError('not-configured', 'the app was not started by a Lumaro launcher');
  return { runtime, data };
}

// The package's .lumaro/release.json: the running version and where updates come from.
async function releaseSettings(runtime) {
  const bad = (why) => new UpdateError('not-configured', `.lumaro/release.json ${why}`);
  let release;
  try {
    release = JSON.parse(await readFile(path.join(runtime, '.lumaro', 'release.json'), 'utf8'));
  } catch (error) {
    throw bad(error.code === 'ENOENT' ? 'is missing' : `cannot be read (${error.message})`);
  }
  const update = release?.update;
  if (!isReleaseVersion(release?.version)) throw bad('has no valid "version"');
  if (typeof update !== 'object' || update === null) throw bad('has no "update" settings');
  if (typeof update.feed !== 'string' || !/^https?:\/\/[^/]/.test(update.feed)) {
    throw new UpdateError('bad-url', `the feed must be an http:// or https:// URL, not ${update.feed}`);
  }
  if (typeof update.channel !== 'string' || !CHANNEL.test(update.channel)) throw bad('has no valid "channel"');
  if (typeof update.product !== 'string' || !update.product) throw bad('has no "product"');
  if (!Array.isArray(update.keys) || update.keys.length === 0) throw bad('trusts no key');
  const keys = new Map();
  for (const text of update.keys) {
    const raw = typeof text === 'string' ? Buffer.from(text, 'base64') : Buffer.alloc(0);
    if (raw.length !== 32 || raw.toString('base64') !== text) throw bad(`holds a key that is not one: ${text}`);
    const jwk = { kty: 'OKP', crv: 'Ed25519', x: raw.toString('base64url') };
    keys.set(text, createPublicKey({ key: jwk, format: 'jwk' }));
  }
  const feed = new URL(update.feed.endsWith('/') ? update.feed : `${update.feed}/`);
  return { version: release.version, feed, channel: update.channel, product: update.product, keys };
}

const isSize = (n, max) => Number.isSafeInteger(n) && n > 0 && n <= max;

function checkedManifest(bytes) {
  let m;
  try {
    m = JSON.parse(bytes.toString('utf8'));
  } catch {
    m = null;
  }
  const bad = (why) => new UpdateError('bad-manifest', `the signed manifest ${why}`);
  if (m?.format !== FORMAT) throw bad(`is not of format ${FORMAT}`);
  if (typeof m.product !== 'string' || typeof m.channel !== 'string') throw bad('names no product or channel');
  if (!isReleaseVersion(m.version)) throw bad('has no valid version');
  if (!isSize(m.sequence, Number.MAX_SAFE_INTEGER)) throw bad('has no valid sequence');
  if (typeof m.buildId !== 'string' || !BUILD_ID.test(m.buildId)) throw bad('has no valid BuildId');
  if (typeof m.expires !== 'string' || !EXPIRES.test(m.expires) || Number.isNaN(Date.parse(m.expires))) {
    throw bad('has no valid expiry');
  }
  if (!SHA256.test(m.exe?.sha256 ?? '') || !isSize(m.exe.size, MAX_EXE_BYTES)) throw bad('describes no exe');
  if (!Array.isArray(m.segments) || m.segments.length === 0) throw bad('lists no segments');
  let total = 0;
  for (const s of m.segments) {
    if (!SHA256.test(s?.sha256 ?? '') || !isSize(s.size, m.exe.size)) throw bad('lists a broken segment');
    total += s.size;
  }
  if (total !== m.exe.size) throw bad(`has segments of ${total} bytes for an exe of ${m.exe.size}`);
  return m;
}

async function writeAtomically(file, bytes) {
  const scratch = `${file}.tmp-${randomBytes(4).toString('hex')}`;
  try {
    const handle = await open(scratch, 'w');
    try {
      await handle.writeFile(bytes);
      await handle.sync();
    } finally {
      await handle.close();
    }
    await rename(scratch, file);
  } catch (error) {
    await unlink(scratch).catch(() => {});
    throw new UpdateError('io', `cannot write ${file}: ${error.message}`, error);
  }
}

async function readState(data) {
  try {
    const state = JSON.parse(await readFile(path.join(data, STATE_FILE), 'utf8'));
    if (typeof state?.highest === 'object' && state.highest !== null) return state;
  } catch {
    // Missing or unreadable: no release seen yet.
  }
  return { highest: {} };
}

/**
 * Asks the feed named in the package's .lumaro/release.json whether a newer
 * release is out. Resolves to null when the running version is current, or
 * to an update: { version, sequence, product, channel, buildId, expires,
 * exe: { sha256, size }, segments, feed }, to hand to downloadUpdate.
 * The manifest must be signed by a key the package trusts, name this
 * product and channel, be unexpired, carry a release sequence no lower than
 * the highest seen here (remembered in <data>/update-state.json) and a
 * version no older than the running one; otherwise it throws UpdateError.
 * options: { runtimeFolder, dataFolder } (default: the launcher's),
 * connectTimeoutMs (15000), idleTimeoutMs (30000).
 */
export async function checkForUpdate(options = {}) {
  const { runtime, data } = places(options);
  const settings = await releaseSettings(runtime);
  const url = new URL(`${settings.channel}/feed.json`, settings.feed);
  const pieces = [];
  await get(url, MAX_ENVELOPE_BYTES,
    () => new UpdateError('manifest-too-large', `${url} is larger than ${MAX_ENVELOPE_BYTES} bytes`), options,
    (chunk) => { pieces.push(chunk); });
  let envelope;
  try {
    envelope = JSON.parse(Buffer.concat(pieces).toString('utf8'));
  } catch {
    throw new UpdateError('bad-manifest', `${url} is not a feed envelope`);
  }
  const key = settings.keys.get(envelope?.key);
  if (key === undefined) {
    throw new UpdateError('untrusted-key', `${url} is signed by a key this release does not trust`);
  }
  const manifestBytes = Buffer.from(String(envelope.manifest), 'base64');
  const signature = Buffer.from(String(envelope.signature), 'base64');
  if (signature.length !== 64 || !verify(null, manifestBytes, key, signature)) {
    throw new UpdateError('bad-signature', `the signature of ${url} does not match its manifest`);
  }
  const m = checkedManifest(manifestBytes);
  if (m.product !== settings.product) {
    throw new UpdateError('wrong-product', `the feed publishes "${m.product}", not "${settings.product}"`);
  }
  if (m.channel !== settings.channel) {
    throw new UpdateError('wrong-channel', `the feed publishes channel "${m.channel}", not "${settings.channel}"`);
  }
  if (Date.parse(m.expires) <= Date.now()) {
    throw new UpdateError('expired', `the feed expired at ${m.expires}; the vendor has not republished it`);
  }
  const state = await readState(data);
  const stateKey = `${settings.product}/${settings.channel}`;
  const highest = Number.isSafeInteger(state.highest[stateKey]) ? state.highest[stateKey] : 0;
  if (m.sequence < highest) {
    throw new UpdateError('rollback',
      `the feed offers release ${m.sequence}, older than release ${highest} seen before`);
  }
  const order = compareReleaseVersions(m.version, settings.version);
  if (order < 0) {
    throw new UpdateError('downgrade', `the feed offers ${m.version}, older than the running ${settings.version}`);
  }
  if (m.sequence > highest) {
    state.highest[stateKey] = m.sequence;
    await writeAtomically(path.join(data, STATE_FILE), JSON.stringify(state));
  }
  if (order === 0) return null;
  const { version, sequence, product, channel, buildId, expires, exe, segments } = m;
  return { version, sequence, product, channel, buildId, expires, exe, segments, feed: settings.feed.href };
}

// The running exe's segments, cut as the feed's writer cuts them, by hash:
// found through its own record ("LMR1", size, this runtime's BuildId).
function localSegments(exe, buildId) {
  const found = new Map();
  const id = Buffer.from(buildId, 'ascii');
  let record = -1;
  for (let at = exe.indexOf('LMR1'); at >= 0; at = exe.indexOf('LMR1', at + 1)) {
    if (at + 48 <= exe.length && exe.subarray(at + 8, at + 24).equals(id)
        && exe.subarray(at + 24, at + 28).equals(STREAM_MAGIC)) {
      if (record >= 0) return found;  // two candidates: trust neither
      record = at;
    }
  }
  if (record < 0) return found;
  const stream = record + 24;
  const total = exe.readBigUInt64LE(stream + 8);
  const chunkSize = BigInt(exe.readUInt32LE(stream + 16));
  if (BigInt(exe.readUInt32LE(record + 4)) !== total || (total > 0n && chunkSize === 0n)) return found;
  // As the writer cuts: the bytes before the stream's chunks and after them
  // in blocks of PE_BLOCK, each chunk record whole.
  const cuts = [];
  for (let at = 0; at < stream + 24; at += PE_BLOCK) cuts.push(at);
  let at = stream + 24;
  for (let done = 0n; done < total; done += chunkSize < total - done ? chunkSize : total - done) {
    cuts.push(at);
    if (at + 4 > exe.length) return found;
    at += 4 + exe.readUInt32LE(at);
    if (at > exe.length) return found;
  }
  for (; at < exe.length; at += PE_BLOCK) cuts.push(at);
  cuts.push(exe.length);
  for (let i = 1; i < cuts.length; i++) {
    if (cuts[i] > cuts[i - 1]) {
      const bytes = exe.subarray(cuts[i - 1], cuts[i]);
      found.set(createHash('sha256').update(bytes).digest('hex'), bytes);
    }
  }
  return found;
}

async function runningSegments(exePath, runtime) {
  if (!exePath) return new Map();
  const buildId = /^runtime-([0-9a-f]{16})$/i.exec(path.basename(runtime))?.[1];
  if (!buildId) return new Map();
  try {
    return localSegments(await readFile(exePath), buildId);
  } catch {
    return new Map();  // unreadable: everything is downloaded
  }
}

// Partial downloads of other exes than the one wanted now.
async function removeLeftovers(data, keep) {
  for (const name of await readdir(data).catch(() => [])) {
    if (PARTIAL.test(name) && name !== keep) await unlink(path.join(data, name)).catch(() => {});
  }
}

async function fileHash(file) {
  try {
    const hash = createHash('sha256');
    for await (const chunk of createReadStream(file)) hash.update(chunk);
    return hash.digest('hex');
  } catch {
    return null;
  }
}

// A download cut short is kept and gone on with; anything that failed a
// check is not.
const RESUMABLE = new Set(['network', 'timeout']);

/**
 * Rebuilds the exe of an update from checkForUpdate in the data folder:
 * segments the running exe already holds are copied from it, the others are
 * downloaded from <feed>/parts/<sha256>, each checked against its hash; the
 * whole exe in one part when nothing can be reused or that costs less. The
 * result is checked against the manifest's SHA-256 and size before it is
 * named <data>/update-<first 16 hex of sha256>.exe. On failure it throws
 * UpdateError. A download cut short ('network', 'timeout') leaves
 * <name>.partial, which the next call for the same exe goes on from: it asks
 * the server only for the bytes it lacks (an HTTP range; a server that sends
 * the whole part instead is fine too), and checks what it kept with the rest.
 * Any other failure leaves nothing; a .partial of another exe is removed.
 * options: { exePath } the running launcher exe (without it, or if it cannot
 * be read, the whole exe is downloaded), and checkForUpdate's options.
 * Resolves to { path, version, sequence, sha256, size, downloadedBytes,
 * reusedBytes }: what a later applyUpdate swaps in. downloadedBytes counts
 * this call's downloads only.
 */
export async function downloadUpdate(update, options = {}) {
  const { runtime, data } = places(options);
  const { exe } = update;
  const target = path.join(data, `update-${exe.sha256.slice(0, 16)}.exe`);
  const partial = `${target}.partial`;
  let downloaded = 0;
  const result = () => ({
    path: target, version: update.version, sequence: update.sequence, sha256: exe.sha256, size: exe.size,
    downloadedBytes: downloaded, reusedBytes: exe.size - downloaded,
  });
  if (await fileHash(target) === exe.sha256) return result();
  await removeLeftovers(data, path.basename(partial));

  const local = await runningSegments(options.exePath, runtime);
  const missing = new Map(update.segments.filter((s) => !local.has(s.sha256)).map((s) => [s.sha256, s.size]));
  const missingBytes = [...missing.values()].reduce((a, b) => a + b, 0);
  // Nothing to reuse costs the most: one request for everything is then cheaper.
  const whole = missingBytes + missing.size * REQUEST_COST >= exe.size + REQUEST_COST;
  const plan = whole ? [{ sha256: exe.sha256, size: exe.size }] : update.segments;

  // One part written at `start`, of which the file holds `have` bytes from an
  // earlier call. Those are hashed with the rest; if the part then fails its
  // hash (a power cut can leave zeros), it is fetched once more, whole.
  const fetchPart = async (handle, part, start, have) => {
    const url = new URL(`parts/${part.sha256}`, update.feed);
    const tooLarge = () =>
      new UpdateError('part-too-large', `${url} is larger than the ${part.size} bytes the manifest gives`);
    for (let from = have; ; from = 0) {
      let hash = createHash('sha256');
      let at = start;
      if (from > 0) {
        const kept = Buffer.alloc(from);
        const { bytesRead } = await handle.read(kept, 0, from, start);
        hash.update(kept.subarray(0, bytesRead));
        at += bytesRead;
      }
      if (at - start < part.size) {
        const onStart = (begin) => {
          if (begin === 0) hash = createHash('sha256');
          at = start + begin;
        };
        downloaded += await get(url, part.size, tooLarge, options, async (chunk) => {
          hash.update(chunk);
          await handle.write(chunk, 0, chunk.length, at);
          at += chunk.length;
        }, at > start ? { from: at - start, onStart } : null);
      }
      if (at - start === part.size && hash.digest('hex') === part.sha256) return;
      if (from === 0) throw new UpdateError('bad-part', `${url} does not hold the part the manifest names`);
    }
  };

  // The exe built in `partial`, going on from what it holds when asked to.
  // Whether anything was kept.
  const build = async (goOn) => {
    const kept = goOn ? await stat(partial).then((info) => info.size, () => 0) : 0;
    let handle;
    try {
      handle = await open(partial, kept > 0 ? 'r+' : 'w');
    } catch (error) {
      throw new UpdateError('io', `cannot write ${partial}: ${error.message}`, error);
    }
    try {
      let offset = 0;
      const written = new Map();  // downloaded parts already in the file, by hash: offset
      for (const part of plan) {
        if (!whole && local.has(part.sha256)) {
          const bytes = local.get(part.sha256);
          await handle.write(bytes, 0, bytes.length, offset);
        } else if (written.has(part.sha256)) {
          const copy = Buffer.alloc(part.size);
          await handle.read(copy, 0, part.size, written.get(part.sha256));
          await handle.write(copy, 0, part.size, offset);
        } else {
          await fetchPart(handle, part, offset, Math.max(0, Math.min(kept - offset, part.size)));
          written.set(part.sha256, offset);
        }
        offset += part.size;
      }
      await handle.truncate(exe.size);
      await handle.sync();
    } finally {
      await handle.close().catch(() => {});
    }
    return kept > 0;
  };

  try {
    const wentOn = await build(true);
    let built = await fileHash(partial);
    if (built !== exe.sha256 && wentOn) {
      // What was kept belonged to another plan (another running exe): from the start.
      await build(false);
      built = await fileHash(partial);
    }
    if (built !== exe.sha256) throw new UpdateError('exe-mismatch', 'the rebuilt exe does not match the manifest');
    await rename(partial, target);
  } catch (error) {
    if (!(error instanceof UpdateError) || !RESUMABLE.has(error.reason)) await unlink(partial).catch(() => {});
    if (error instanceof UpdateError) throw error;
    throw new UpdateError('io', `cannot write ${partial}: ${error.message}`, error);
  }
  return result();
}

async function removeApplyLeftovers(data, keep) {
  for (const name of await readdir(data).catch(() => [])) {
    const stale = (STAGED.test(name) && name !== keep) || HELPER_COPY.test(name) || name === RESULT_FILE
      || RESULT_LEFTOVER.test(name);
    // A helper copy still waiting for a launcher is in use and stays.
    if (stale) await unlink(path.join(data, name)).catch(() => {});
  }
}

// The helper's first line: "watching <exe>" once it holds the launcher, or
// why it will do nothing. Null if it ended or fell silent without one.
function helperAnswer(child) {
  return new Promise((resolve) => {
    let text = '';
    const done = (answer) => {
      clearTimeout(timer);
      child.stdout.destroy();
      resolve(answer);
    };
    const timer = setTimeout(() => done(null), HELPER_ANSWER_MS);
    child.stdout.setEncoding('utf8');
    child.stdout.on('data', (piece) => {
      text += piece;
      if (text.includes('\n')) done(text.slice(0, text.indexOf('\n')).replace(/\r$/, ''));
    });
    child.stdout.on('end', () => done(text || null));
    child.on('error', () => done(null));
  });
}

let applying = null;

/**
 * Puts an update that downloadUpdate has made ready in place of the running
 * exe. The staged exe is checked once more against the update's SHA-256 and
 * size, then the package's helper (.lumaro/update.exe, copied into the data
 * folder) is started: it holds the launcher, waits for it to end, and
 * renames the staged exe over the launcher's exe in one step, so that the
 * exe's path always holds a whole version, old or new. The next start of
 * that path runs the new version.
 * options: { restart } end the app now (process.exit(0)) once the helper
 * holds the launcher; the helper then starts the exe again. retryMs: how
 * long the helper tries again while the exe is in use elsewhere (60000);
 * after that it leaves the staged exe, and the next applyUpdate tries again.
 * { runtimeFolder, dataFolder } as for checkForUpdate.
 * Resolves (without restart) to { exePath, helperPid }. Throws UpdateError:
 * 'not-downloaded' (no verified staged exe), 'not-configured' (no helper
 * in the package, or not under a launcher), 'apply-failed' (the helper
 * refused or could not start). What the helper did is in lastUpdateResult()
 * at the next start.
 */
export async function applyUpdate(update, options = {}) {
  const { runtime, data } = places(options);
  const { exe } = update;
  const name = `update-${exe.sha256.slice(0, 16)}.exe`;
  const staged = path.join(data, name);
  const size = await stat(staged).then((info) => info.size, () => null);
  if (size !== exe.size || await fileHash(staged) !== exe.sha256) {
    throw new UpdateError('not-downloaded', `${staged} is not the verified exe of ${update.version}; download it first`);
  }
  if (applying !== null) {
    throw new UpdateError('apply-failed', 'an update is already waiting for the app to end');
  }
  const source = path.join(runtime, ...HELPER);
  await removeApplyLeftovers(data, name);
  const helper = path.join(data, `update-helper-${randomBytes(4).toString('hex')}.exe`);
  try {
    await copyFile(source, helper, fsConstants.COPYFILE_EXCL);
  } catch (error) {
    if (error.code === 'ENOENT') throw new UpdateError('not-configured', `the package carries no ${HELPER.join('/')}`);
    throw new UpdateError('io', `cannot copy the update helper to ${helper}: ${error.message}`, error);
  }
  const args = ['apply', '--launcher-pid', String(process.ppid), '--new', staged, '--size', String(exe.size)];
  if (options.restart) args.push('--restart');
  if (options.retryMs !== undefined) args.push('--retry-ms', String(options.retryMs));
  const child = spawn(helper, args, {
    cwd: data, detached: true, windowsHide: true, stdio: ['ignore', 'pipe', 'ignore'],
  });
  const answer = await helperAnswer(child);
  child.unref();
  if (answer === null || !answer.startsWith('watching ')) {
    throw new UpdateError('apply-failed', `the update helper did not take the update: ${answer ?? 'no answer'}`);
  }
  applying = { exePath: answer.slice('watching '.length), helperPid: child.pid };
  if (options.restart) process.exit(0);
  return applying;
}

/**
 * What the helper of the last applyUpdate did, once the launcher had ended:
 * { outcome: 'applied' | 'in-use' | 'failed', step, osCode, detail, exe,
 * staged, restart, restartOsCode }, or null when there is nothing to tell.
 * 'in-use' leaves the staged exe; the next applyUpdate tries again. The next
 * applyUpdate removes the record. options: { dataFolder }.
 */
export async function lastUpdateResult(options = {}) {
  const data = options.dataFolder ?? dataFolder();
  if (!data) return null;
  try {
    const result = JSON.parse(await readFile(path.join(data, RESULT_FILE), 'utf8'));
    return typeof result?.outcome === 'string' ? result : null;
  } catch {
    return null;
  }
}
