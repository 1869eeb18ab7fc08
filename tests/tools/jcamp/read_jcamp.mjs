// Reads JCAMP-DX files with jcampconverter, a reader written outside this project, and prints
// what it understood as one JSON document: for each file its labels (as the reader keeps them),
// its abscissae and its ordinates. The C++ tests compare that with what was written.
import { readFileSync } from 'node:fs';
import { convert } from 'jcampconverter';

const files = process.argv.slice(2).map((path) => {
  const result = convert(readFileSync(path, 'utf8'), {
    keepRecordsRegExp: /.*/,
    dynamicTyping: false,
  });
  const entry = result.flatten[0];
  const spectrum = entry?.spectra?.[0];
  return {
    path,
    entries: result.flatten.length,
    spectra: entry?.spectra?.length ?? 0,
    info: entry?.info ?? {},
    meta: entry?.meta ?? {},
    x: spectrum ? Array.from(spectrum.data.x) : [],
    y: spectrum ? Array.from(spectrum.data.y) : [],
  };
});
process.stdout.write(JSON.stringify(files));
