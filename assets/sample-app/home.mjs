// The sample app's entry module. With a real Node.js it writes a greeting
// next to the device file, with what it received from the launcher.
import { readFileSync, writeFileSync } from 'node:fs';
import { dirname, join } from 'node:path';

const deviceFile = process.env.LMR_DEVICE_FILE;
let device = null;
try {
  device = JSON.parse(readFileSync(deviceFile, 'utf8'));
} catch (error) {
  device = { unreadable: String(error.code ?? error) };
}
const greeting = {
  hello: 'Xin chào từ Lumaro',
  argv: process.argv,
  cwd: process.cwd(),
  deviceFile,
  device,
};
writeFileSync(join(dirname(deviceFile), 'greeting.json'), JSON.stringify(greeting, null, 2));
