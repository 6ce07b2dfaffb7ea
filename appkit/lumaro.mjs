// Lumaro app kit: where an app started by a Lumaro launcher runs, and the
// removal of the runtimes that earlier releases installed beside it.
// Copy this file into the app and import it; it needs nothing but Node.js.
import { constants, lstatSync } from 'node:fs';
import { lstat, open, readdir, realpath, rename, rmdir, unlink } from 'node:fs/promises';
import { randomBytes } from 'node:crypto';
import path from 'node:path';

const RUNTIME = /^runtime-[0-9a-f]{16}$/i;
const STAGING = /^install-[0-9a-f]{16}-(?:0|[1-9][0-9]{0,9})$/i;
// A folder taken out of use by a prune; no launcher ever trusts this name.
const REMOVING = /^removing-[0-9a-f]{16}$/;
const DEVICE_FILE = 'device.local.json';
const STARTUP_LOG = 'startup.log';
const DAY_MS = 24 * 60 * 60 * 1000;
// Written by the pack tool into every package whose release has a version.
const RELEASE_FILE = ['.lumaro', 'release.json'];
const RELEASE_FILE_LIMIT = 64 * 1024;
// One to four numbers, then maybe a semver pre-release and build metadata.
const VERSION = /^([0-9]{1,9}(?:\.[0-9]{1,9}){0,3})(?:-([0-9A-Za-z-]+(?:\.[0-9A-Za-z-]+)*))?(?:\+[0-9A-Za-z-]+(?:\.[0-9A-Za-z-]+)*)?$/;

// The launcher starts the app in its runtime folder; taken at import, before
// the app can change its working folder.
const startFolder = process.cwd();
let place;

function launcherPlace() {
  if (place === undefined) {
    place = null;
    if (RUNTIME.test(path.basename(startFolder))) {
      try {
        // A runtime folder only comes into being with its ready marker.
        if (lstatSync(path.join(startFolder, 'ready')).isFile()) {
          const data = path.dirname(startFolder);
          place = {
            runtime: startFolder,
            data,
            device: process.env.LMR_DEVICE_FILE || path.join(data, DEVICE_FILE),
          };
        }
      } catch {
        // No marker: not a launcher's runtime.
      }
    }
  }
  return place;
}

/** The runtime folder the app runs from, or null when no launcher started it. */
export function runtimeFolder() {
  return launcherPlace()?.runtime ?? null;
}

/** The data folder that holds the runtimes, the device file and startup.log, or null. */
export function dataFolder() {
  return launcherPlace()?.data ?? null;
}

/** The device file the launcher handed over (LMR_DEVICE_FILE), or null. */
export function deviceFile() {
  return launcherPlace()?.device ?? null;
}

function sameName(a, b) {
  return a.toLowerCase() === b.toLowerCase();
}

// A folder that is really here, not a link or junction to somewhere else.
// Wine shows a Linux symbolic link as a plain folder; only the resolved path
// tells them apart.
async function isOwnFolder(folder, realParent) {
  const info = await lstat(folder);
  if (!info.isDirectory() || info.isSymbolicLink()) return false;
  return sameName(await realpath(folder), path.join(realParent, path.basename(folder)));
}

// The newest modification time in a tree, links not followed.
async function newestChange(folder, realFolder) {
  let newest = (await lstat(folder)).mtimeMs;
  for (const entry of await readdir(folder, { withFileTypes: true })) {
    const child = path.join(folder, entry.name);
    if (entry.isDirectory() && (await isOwnFolder(child, realFolder))) {
      newest = Math.max(newest, await newestChange(child, await realpath(child)));
    } else {
      newest = Math.max(newest, (await lstat(child)).mtimeMs);
    }
  }
  return newest;
}

// Deletes a tree as far as it can, links removed without being followed;
// returns the first error met, or null when the tree is gone. Each folder is
// checked to be the real one just before it is read: one swapped for a link
// since its parent was read is left, with everything around it.
async function removeTree(folder, realParent) {
  let failure = null;
  const note = (error) => { failure ??= error; };
  let entries = [];
  let realFolder;
  try {
    if (!(await isOwnFolder(folder, realParent))) {
      return Object.assign(new Error(`${folder} leads elsewhere`), { code: 'ELINK' });
    }
    realFolder = await realpath(folder);
    entries = await readdir(folder);
  } catch (error) {
    return error;
  }
  for (const name of entries) {
    const child = path.join(folder, name);
    try {
      const info = await lstat(child);
      if (info.isDirectory() && !info.isSymbolicLink()) {
        const error = await removeTree(child, realFolder);
        if (error) note(error);
      } else {
        await unlink(child);
      }
    } catch (error) {
      note(error);
    }
  }
  if (failure) return failure;
  try {
    await rmdir(folder);
    return null;
  } catch (error) {
    return error;
  }
}

// A launcher running the app of that folder keeps its node.exe open, and a
// running program cannot be opened for writing (on Windows and under Wine,
// which lets such a folder be renamed). Nothing is written.
async function inUse(folder) {
  let handle;
  try {
    handle = await open(path.join(folder, 'node.exe'), constants.O_RDWR);
  } catch (error) {
    return error.code !== 'ENOENT';
  }
  await handle.close();
  return false;
}

async function freshName(data) {
  for (;;) {
    const name = `removing-${randomBytes(8).toString('hex')}`;
    try {
      await lstat(path.join(data, name));
    } catch (error) {
      if (error.code === 'ENOENT') return name;
      throw error;
    }
  }
}

async function markerTime(runtime) {
  try {
    const marker = await lstat(path.join(runtime, 'ready'));
    return marker.isFile() ? marker.mtimeMs : null;
  } catch {
    return null;
  }
}

// { numbers, preRelease } of a version text, or null when it is not one.
function parseVersion(text) {
  const match = typeof text === 'string' ? VERSION.exec(text) : null;
  if (!match) return null;
  const numbers = match[1].split('.').map(Number);
  while (numbers.length < 4) numbers.push(0);
  return { numbers, preRelease: match[2]?.split('.') ?? null };
}

// Semver precedence of two pre-release identifiers.
function compareIdentifiers(a, b) {
  const aNumeric = /^[0-9]+$/.test(a);
  const bNumeric = /^[0-9]+$/.test(b);
  if (aNumeric && bNumeric) {
    const [x, y] = [BigInt(a), BigInt(b)];
    return x < y ? -1 : x > y ? 1 : 0;
  }
  if (aNumeric !== bNumeric) return aNumeric ? -1 : 1;
  return a < b ? -1 : a > b ? 1 : 0;
}

// Below, equal to or above zero as release a comes before, with or after b.
function compareVersions(a, b) {
  for (let i = 0; i < 4; i++) {
    if (a.numbers[i] !== b.numbers[i]) return a.numbers[i] < b.numbers[i] ? -1 : 1;
  }
  // A pre-release comes before its release.
  if (a.preRelease === null || b.preRelease === null) {
    return a.preRelease === b.preRelease ? 0 : a.preRelease === null ? 1 : -1;
  }
  const common = Math.min(a.preRelease.length, b.preRelease.length);
  for (let i = 0; i < common; i++) {
    const order = compareIdentifiers(a.preRelease[i], b.preRelease[i]);
    if (order !== 0) return order;
  }
  return a.preRelease.length - b.preRelease.length;
}

/**
 * Orders two release versions as the pack tool writes them: below, equal to
 * or above zero as a comes before, with or after b, or null when either is
 * not one. One to four numbers (missing ones count as 0) are compared in
 * turn; a semver pre-release comes before its release and compares by semver
 * precedence; build metadata is ignored.
 */
export function compareReleaseVersions(a, b) {
  const [x, y] = [parseVersion(a), parseVersion(b)];
  return x && y ? compareVersions(x, y) : null;
}

export function isReleaseVersion(text) {
  return parseVersion(text) !== null;
}

// The release version a runtime was packed with, or null when it carries no
// readable one: only a small plain file is read, never through a link.
async function releaseVersion(runtime) {
  const folder = path.join(runtime, RELEASE_FILE[0]);
  const file = path.join(folder, RELEASE_FILE[1]);
  let handle;
  try {
    const folderInfo = await lstat(folder);
    if (!folderInfo.isDirectory() || folderInfo.isSymbolicLink()) return null;
    if (!sameName(await realpath(folder), path.join(await realpath(runtime), RELEASE_FILE[0]))) return null;
    const info = await lstat(file);
    if (!info.isFile() || info.size > RELEASE_FILE_LIMIT) return null;
    handle = await open(file, constants.O_RDONLY | (constants.O_NOFOLLOW ?? 0));
    const buffer = Buffer.alloc(RELEASE_FILE_LIMIT + 1);
    const { bytesRead } = await handle.read(buffer, 0, buffer.length, 0);
    if (bytesRead > RELEASE_FILE_LIMIT) return null;
    const release = JSON.parse(buffer.toString('utf8', 0, bytesRead));
    return parseVersion(release?.version);
  } catch {
    return null;
  } finally {
    await handle?.close();
  }
}

// Why a name of the data folder stays, or null when it is one to remove.
async function reasonToKeep(data, realData, name, ownRuntime, own, now) {
  const folder = path.join(data, name);
  if (sameName(name, ownRuntime)) return 'own runtime';
  if (sameName(name, DEVICE_FILE)) return 'device file';
  if (sameName(name, STARTUP_LOG)) return 'startup log';
  // lumaro-update.mjs keeps its own files, all named so.
  if (/^update-/i.test(name)) return 'update';
  if (!RUNTIME.test(name) && !STAGING.test(name) && !REMOVING.test(name)) return 'unknown';
  const info = await lstat(folder);
  if (info.isSymbolicLink()) return 'link';
  if (!info.isDirectory()) return 'not a folder';
  if (!(await isOwnFolder(folder, realData))) return 'link';
  if (RUNTIME.test(name)) {
    // Without a marker it is damaged and blocks its build. With one, the
    // releases' versions decide; without both, or for a rebuild of the same
    // version, the marker times do.
    const installed = await markerTime(folder);
    if (installed !== null) {
      const theirs = own.release && (await releaseVersion(folder));
      const order = theirs ? compareVersions(theirs, own.release) : 0;
      if (order > 0) return 'newer release';
      if (order === 0 && installed >= own.installed) return 'newer';
    }
  } else if (STAGING.test(name)) {
    if (now - (await newestChange(folder, await realpath(folder))) < DAY_MS) return 'recent';
  }
  if (await inUse(folder)) return 'in use';
  return null;
}

/**
 * Removes what earlier releases left in the data folder: runtimes of older
 * releases (and damaged ones, without a ready marker), install folders
 * untouched for a day, and folders an interrupted prune left behind.
 *
 * Which runtime is older goes by release, not by install time, so starting
 * an old exe again never removes a newer release's runtime. A runtime's
 * release is the "version" of its `.lumaro/release.json` (other keys are
 * ignored): one to four numbers (missing ones count as 0), compared in
 * turn, with an optional semver pre-release, which comes before its release
 * and compares by semver precedence, and build metadata, which is ignored.
 * A runtime of a lower version goes, one of a higher version stays ('newer
 * release'). When the versions are equal (a rebuild) or either runtime has
 * no readable release file, the ready markers decide: a runtime installed
 * before this one goes, one installed after it stays ('newer').
 *
 * Each is first renamed to a name no launcher trusts, so a launcher never
 * meets a half-deleted runtime; one in use fails that rename (or the in-use
 * check) and stays whole. Links are removed, never followed. Never throws:
 * what could not be done is kept.
 * Resolves to { removed: [name], kept: [{ name, reason, code?, from? }] }:
 * reasons are 'own runtime', 'device file', 'startup log', 'update' (the
 * update module's files), 'unknown',
 * 'not a folder', 'link', 'newer', 'newer release', 'recent', 'in use',
 * 'rename failed', 'unreadable', and 'unfinished' for a folder renamed from
 * `from` whose deletion stopped ('link' with `from` when what was renamed
 * had been swapped for a link); with `error` beside them when the data
 * folder could not be read. Outside a launcher it does nothing.
 */
export async function pruneOldRuntimes() {
  const result = { removed: [], kept: [] };
  const here = launcherPlace();
  if (here === null) return result;
  const keep = (name, reason, error) => {
    result.kept.push(error ? { name, reason, code: error.code ?? String(error) } : { name, reason });
  };
  const data = here.data;
  let names;
  let realData;
  let own;
  try {
    names = (await readdir(data)).sort();
    realData = await realpath(data);
    own = {
      installed: (await markerTime(here.runtime)) ?? Date.now(),
      release: await releaseVersion(here.runtime),
    };
  } catch (error) {
    result.error = error.code ?? String(error);
    return result;
  }
  const ownRuntime = path.basename(here.runtime);
  const now = Date.now();
  for (const name of names) {
    let reason;
    try {
      reason = await reasonToKeep(data, realData, name, ownRuntime, own, now);
    } catch (error) {
      keep(name, 'unreadable', error);
      continue;
    }
    if (reason !== null) {
      keep(name, reason);
      continue;
    }
    let doomed = name;
    if (!REMOVING.test(name)) {
      try {
        doomed = await freshName(data);
        await rename(path.join(data, name), path.join(data, doomed));
      } catch (error) {
        // Windows refuses to rename a folder that holds open files.
        const busy = ['EBUSY', 'EPERM', 'EACCES'].includes(error.code);
        keep(name, busy ? 'in use' : 'rename failed', error);
        continue;
      }
    }
    // The name may have been swapped for a link between the check and the
    // rename: what now lies under the new name is checked again, and a link
    // is never deleted through.
    let renamedIsOwn;
    try {
      renamedIsOwn = await isOwnFolder(path.join(data, doomed), realData);
    } catch (error) {
      result.kept.push({ name: doomed, reason: 'unreadable', code: error.code ?? String(error), from: name });
      continue;
    }
    if (!renamedIsOwn) {
      result.kept.push({ name: doomed, reason: 'link', from: name });
      continue;
    }
    const error = await removeTree(path.join(data, doomed), realData);
    if (error) {
      // Out of use under its new name; a later prune finishes it.
      result.kept.push({ name: doomed, reason: 'unfinished', code: error.code ?? String(error), from: name });
    } else {
      result.removed.push(name);
    }
  }
  return result;
}
