#!/usr/bin/env node
// The boot-time rename program PUI.COM, the build's own assembled copy, run in
// DOSBox-X (run_dos.js): the second DOS beside our own one of
// tests/boot_program_test.cpp, whose expectations these cases mirror. Each
// case lays out drive C:, runs the program by its full path, and checks every
// file of the drive afterwards: which files exist and what they hold.
//
//   node boot_program_cases.js PUI.COM [PART-OF-A-CASE-NAME]
//
// Where DOSBox-X answers otherwise than DOS, the expectation is what the
// program does with DOSBox-X's answer:
// - a rename onto an existing name answers 5 (access denied);
// - deleting a missing file answers 5, not 2;
// - a rename onto "nul" answers 2.
// DOSBox-X takes the double quotes out of a long name without blanks
// ("C:\B.EXF" with its quotes renames or deletes C:\B.EXF) and refuses one
// with quotes and blanks: the quoted names here have blanks, as the lists'
// quoted names do.
// What DOSBox-X cannot show stays with our own DOS: read-only files (it
// deletes them all the same), and names of 256 to 259 characters, so the
// longest line of 525 bytes (it refuses a path over 255 characters).
"use strict";

const fs = require("fs");
const os = require("os");
const path = require("path");
const { spawnSync } = require("child_process");

const RUNNER = path.join(__dirname, "run_dos.js");
const PROGRAM_LIMIT = 20; // seconds the program may take in one case
const HEADER = "[rename]\r\n";

// A case: the drive before the run (`files`: DOS path → contents; `dirs`:
// empty folders), the program's path (default C:\WINDOWS\PUI.COM), the
// current directory it starts in (default the root), the list beside the
// program (none: no list), and `changes`: DOS path → contents afterwards,
// or null for a file that is gone. Every other file must be as it was, no
// other file may exist, and the program and its list are gone.
const del79 = "C:\\Long Folder Name\\" + "d".repeat(55) + ".EXE";
const name80 = "C:\\Long Folder Name\\" + "e".repeat(56) + ".EXE";
// 255 characters, the longest path DOSBox-X takes (DOS 7 takes 259).
const deep = "C:\\Program Files\\Common Files\\Kriz Test Vendor\\";
const longest = deep + "n".repeat(255 - deep.length);
const longestSource = deep + "n".repeat(254 - deep.length) + "o";

// The line before a line that ends the run is carried out; that line and
// every later one are not.
function endsTheRun(what, line) {
  return {
    name: `the run ends at ${what}`,
    files: {
      "C:\\DONE.OLD": "done",
      "C:\\NOT.OLD": "not",
      "C:\\AFTER.OLD": "after",
      "C:\\KEEP.DLL": "keep",
    },
    list: HEADER + "C:\\DONE.NEW=C:\\DONE.OLD\r\n" + line + "C:\\AFTER.NEW=C:\\AFTER.OLD\r\n",
    changes: { "C:\\DONE.OLD": null, "C:\\DONE.NEW": "done" },
  };
}

const cases = [
  {
    // DOSBox-X refuses with 5: the destination is made normal, deleted, and
    // the rename tried again.
    name: "a quoted rename onto an existing destination",
    files: { "C:\\Program Files\\A.EXE": "infected", "C:\\Program Files\\A.EXF": "clean" },
    list: HEADER + '"C:\\Program Files\\A.EXE"="C:\\Program Files\\A.EXF"\r\n',
    changes: { "C:\\Program Files\\A.EXE": "clean", "C:\\Program Files\\A.EXF": null },
  },
  {
    name: "a bare rename onto an existing destination, and one to a new name",
    files: {
      "C:\\WINDOWS\\SYSTEM\\LongLibrary.dll": "old L",
      "C:\\WINDOWS\\SYSTEM\\LongLibrary.dlm": "new L",
      "C:\\LAST.EXF": "last",
    },
    list: HEADER +
        "C:\\WINDOWS\\SYSTEM\\LongLibrary.dll=C:\\WINDOWS\\SYSTEM\\LongLibrary.dlm\r\n" +
        "C:\\LAST.EXE=C:\\LAST.EXF\r\n",
    changes: {
      "C:\\WINDOWS\\SYSTEM\\LongLibrary.dll": "new L",
      "C:\\WINDOWS\\SYSTEM\\LongLibrary.dlm": null,
      "C:\\LAST.EXF": null,
      "C:\\LAST.EXE": "last",
    },
  },
  {
    // A missing file (DOSBox-X answers 5, DOS 2) is passed over.
    name: "bare NUL deletions",
    files: {
      "C:\\OLD\\GONE.EXE": "gone",
      "C:\\Downloads\\InstallerWithALongName.exe": "gone too",
      "C:\\AFTER.OLD": "after",
    },
    list: HEADER + "NUL=C:\\OLD\\GONE.EXE\r\n" + "NUL=C:\\MISSING.EXE\r\n" +
        "NUL=C:\\Downloads\\InstallerWithALongName.exe\r\n" + "C:\\AFTER.NEW=C:\\AFTER.OLD\r\n",
    changes: {
      "C:\\OLD\\GONE.EXE": null,
      "C:\\Downloads\\InstallerWithALongName.exe": null,
      "C:\\AFTER.OLD": null,
      "C:\\AFTER.NEW": "after",
    },
  },
  {
    name: "quoted NUL deletions, one of 79 characters",
    files: { [del79]: "gone", "C:\\My Documents\\Old Setup.exe": "gone too" },
    list: HEADER + `NUL="${del79}"\r\n` + 'NUL="C:\\My Documents\\Old Setup.exe"\r\n',
    changes: { [del79]: null, "C:\\My Documents\\Old Setup.exe": null },
  },
  {
    // Only the next 80 characters are searched for the closing quote: a line
    // whose quote lies further, or is missing, is passed over, and no file is
    // deleted under a shortened name.
    name: "a quoted NUL source whose quote is out of reach is passed over",
    files: {
      [name80]: "80",
      [name80.slice(0, 79)]: "79",
      "C:\\KEEP.DLL": "keep",
      "C:\\AFTER.OLD": "after",
    },
    list: HEADER + `NUL="${name80}"\r\n` + 'NUL="C:\\KEEP.DLL\r\n' + "C:\\AFTER.NEW=C:\\AFTER.OLD\r\n",
    changes: { "C:\\AFTER.OLD": null, "C:\\AFTER.NEW": "after" },
  },
  {
    // Lower case is no deletion but a rename onto "nul", which DOSBox-X
    // refuses with 2: the file stays.
    name: "a lower-case nul is no deletion",
    files: { "C:\\LOWER.EXE": "lower" },
    list: HEADER + "nul=C:\\LOWER.EXE\r\n",
    changes: {},
  },
  {
    name: "lines that fail are passed over",
    files: {
      "C:\\KEEP.EXE": "keep",
      "C:\\B.EXE": "b",
      "C:\\My B.EXF": "b copy",
      "C:\\DIRSRC.EXE": "stays",
      "C:\\LAST.EXF": "last",
    },
    dirs: ["C:\\ADIR"],
    list: HEADER +
        // No such source (2): the destination stays.
        "C:\\KEEP.EXE=C:\\MISSING.OLD\r\n" +
        // The quotes stay part of a source after a bare destination: no such
        // file, the line is passed over.
        'C:\\B.EXE="C:\\My B.EXF"\r\n' +
        // A destination that is a folder: refused, and it cannot be deleted.
        "C:\\ADIR=C:\\DIRSRC.EXE\r\n" + "C:\\LAST.EXE=C:\\LAST.EXF\r\n",
    changes: { "C:\\LAST.EXF": null, "C:\\LAST.EXE": "last" },
  },
  {
    name: "names as long as DOSBox-X takes (a line of 517 bytes)",
    files: { [longest]: "infected", [longestSource]: "clean" },
    list: HEADER + `"${longest}"="${longestSource}"\r\n`,
    changes: { [longest]: "clean", [longestSource]: null },
  },
  endsTheRun("the next section", "[other]\r\n"),
  endsTheRun("a quoted destination with a bare source", '"C:\\NOT NEW.EXE"=C:\\NOT.OLD\r\n'),
  endsTheRun("a line without an equals sign", "C:\\NOT.NEW C:\\NOT.OLD\r\n"),
  // The next line would start one byte late: KEEP.DLL's rename to "XNUL"
  // read as its deletion.
  endsTheRun("a CR without LF", "C:\\NOT.NEW=C:\\NOT.OLD\rXNUL=C:\\KEEP.DLL\r\n"),
  {
    name: "a list of only the header",
    files: { "C:\\NOT.OLD": "not" },
    list: HEADER,
    changes: {},
  },
  {
    name: "a list without the header first",
    files: { "C:\\NOT.OLD": "not" },
    list: "C:\\NOT.NEW=C:\\NOT.OLD\r\n" + HEADER + "C:\\NOT.NEW=C:\\NOT.OLD\r\n",
    changes: {},
  },
  {
    // "C:\PUI.COM" cut at its backslash leaves "C:", the drive's current
    // directory rather than its root: started from C:\WINDOWS, which holds
    // another list, the program must still carry out the root's.
    name: "the program in the drive's root",
    program: "C:\\PUI.COM",
    cd: "\\WINDOWS",
    files: {
      "C:\\A.OLD": "a",
      "C:\\B.OLD": "b",
      "C:\\WINDOWS\\WININI32.INI": HEADER + "C:\\B.NEW=C:\\B.OLD\r\n",
    },
    list: HEADER + "C:\\A.NEW=C:\\A.OLD\r\n",
    changes: { "C:\\A.OLD": null, "C:\\A.NEW": "a" },
  },
];

// DOS path "C:\A\B" ↔ the path below the drive's host folder.
function hostPath(drive, dosPath) {
  if (!/^C:\\/.test(dosPath)) throw new Error(`not a path on C: ${dosPath}`);
  return path.join(drive, ...dosPath.slice(3).split("\\").filter((p) => p !== ""));
}

function driveFiles(drive) {
  const files = new Map();
  (function walk(dir, dos) {
    for (const e of fs.readdirSync(dir, { withFileTypes: true })) {
      const child = path.join(dir, e.name);
      if (e.isDirectory()) walk(child, `${dos}${e.name}\\`);
      else files.set(`${dos}${e.name}`, fs.readFileSync(child, "latin1"));
    }
  })(drive, "C:\\");
  return files;
}

function listPath(program) {
  return program.slice(0, program.lastIndexOf("\\") + 1) + "WININI32.INI";
}

// Runs one case; answers the list of what was found wrong (empty: passed).
function runCase(test, image, work) {
  const program = test.program || "C:\\WINDOWS\\PUI.COM";
  const before = path.join(work, "C");
  const after = path.join(work, "after");
  const put = (dosPath, contents) => {
    const host = hostPath(before, dosPath);
    fs.mkdirSync(path.dirname(host), { recursive: true });
    fs.writeFileSync(host, contents);
  };
  fs.mkdirSync(before);
  for (const dir of test.dirs || []) fs.mkdirSync(hostPath(before, dir), { recursive: true });
  for (const [dosPath, contents] of Object.entries(test.files)) put(dosPath, Buffer.from(contents, "latin1"));
  put(program, image);
  if (test.list !== undefined) put(listPath(program), Buffer.from(test.list, "latin1"));

  const run = spawnSync(process.execPath,
      [RUNNER, before, program, "--cd", test.cd || "\\", "--timeout", String(PROGRAM_LIMIT),
       "--out", after],
      { encoding: "utf8", timeout: (PROGRAM_LIMIT + 30) * 1000, killSignal: "SIGKILL" });
  if (run.error) return [`the runner did not finish: ${run.error.message}`];
  // The program prints nothing: anything on the runner's error output is a
  // failure, the shell's complaints included.
  if (run.status !== 0 || run.stderr !== "") {
    return [`the runner ended with ${run.status ?? run.signal}:`, run.stderr.trimEnd()];
  }

  const expected = new Map(Object.entries(test.files));
  for (const [dosPath, contents] of Object.entries(test.changes)) {
    if (contents === null) expected.delete(dosPath);
    else expected.set(dosPath, contents);
  }
  const found = driveFiles(after);
  const wrong = [];
  for (const [dosPath, contents] of expected) {
    if (!found.has(dosPath)) wrong.push(`${dosPath}: missing, expected ${JSON.stringify(contents)}`);
    else if (found.get(dosPath) !== contents) {
      wrong.push(`${dosPath}: holds ${JSON.stringify(found.get(dosPath))}, ` +
                 `expected ${JSON.stringify(contents)}`);
    }
  }
  for (const [dosPath, contents] of found) {
    if (!expected.has(dosPath)) {
      wrong.push(`${dosPath}: should not exist, holds ${JSON.stringify(contents.slice(0, 40))}`);
    }
  }
  return wrong;
}

function main() {
  const [imagePath, filter] = process.argv.slice(2);
  if (!imagePath) {
    process.stderr.write("usage: boot_program_cases.js PUI.COM [PART-OF-A-CASE-NAME]\n");
    process.exit(2);
  }
  const image = fs.readFileSync(imagePath);
  try {
    require.resolve("emulators");
  } catch {
    process.stderr.write('boot_program_cases: the npm package "emulators" is missing in ' +
                         `${path.join(__dirname, "node_modules")}: run scripts/setup\n`);
    process.exit(1);
  }

  const chosen = cases.filter((c) => !filter || c.name.includes(filter));
  let passed = 0;
  let failed = 0;
  const started = Date.now();
  for (const test of chosen) {
    const work = fs.mkdtempSync(path.join(os.tmpdir(), "kriz-dosbox-"));
    const t0 = Date.now();
    const wrong = runCase(test, image, work);
    const seconds = ((Date.now() - t0) / 1000).toFixed(1);
    if (wrong.length === 0) {
      passed++;
      console.log(`ok    ${test.name} (${seconds} s)`);
      fs.rmSync(work, { recursive: true, force: true });
    } else {
      failed++;
      console.log(`FAIL  ${test.name} (${seconds} s; its drive stays in ${work})`);
      for (const line of wrong) console.log(`        ${line.split("\n").join("\n        ")}`);
    }
  }
  console.log(`DOSBox-X: ${chosen.length} cases in ${((Date.now() - started) / 1000).toFixed(1)} s`);
  console.log(`${passed} passed, ${failed} failed`);
  process.exit(failed === 0 && chosen.length > 0 ? 0 : 1);
}

main();
