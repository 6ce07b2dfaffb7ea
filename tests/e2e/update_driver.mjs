// Runs the update kit for the feed tests, in the folder node starts in (a
// fake runtime folder): node update_driver.mjs KIT.mjs check|download OPTIONS_JSON.
// Prints one JSON line: { update, download } or { reason, message, step }.
const [kitPath, action, optionsJson] = process.argv.slice(2);
const kit = await import(kitPath);
const options = JSON.parse(optionsJson);
let step = 'check';
try {
  const update = await kit.checkForUpdate(options);
  let download = null;
  if (action === 'download' && update !== null) {
    step = 'download';
    download = await kit.downloadUpdate(update, options);
  }
  console.log(JSON.stringify({ update, download }));
} catch (error) {
  if (!(error instanceof kit.UpdateError)) throw error;
  console.log(JSON.stringify({ reason: error.reason, message: error.message, step }));
}
