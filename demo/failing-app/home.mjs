// A demo app that fails while starting: Node prints the error to its error
// output, which the launcher shows in its dialog.
const settings = JSON.parse('{"port": 8080,');
console.log(settings);
