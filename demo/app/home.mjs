// The demo app: reads the device file the launcher hands over and writes a
// greeting with what it received into the data folder, then exits 0.
import { readFileSync, writeFileSync } from 'node:fs';
import { dirname, join } from 'node:path';

const deviceFile = process.env.LMR_DEVICE_FILE;
let device;
try {
  device = JSON.parse(readFileSync(deviceFile, 'utf8'));
} catch (error) {
  device = { unreadable: String(error.code ?? error) };
}
const greeting = {
  greeting: 'Xin chào từ Lumaro!',
  node: process.version,
  argv: process.argv,
  cwd: process.cwd(),
  deviceFile,
  device,
};
writeFileSync(join(dirname(deviceFile), 'greeting.json'), JSON.stringify(greeting, null, 2) + '\n');
