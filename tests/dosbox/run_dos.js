#!/usr/bin/env node
// Runs one DOS program in DOSBox-X, a second DOS beside our own Unicorn one:
// the npm package "emulators" carries DOSBox-X built to WebAssembly and runs
// it inside Node.js, with nothing downloaded at run time.
//
//   node run_dos.js DRIVE PROGRAM [--cd DIR] [--timeout SECONDS] [--out DIR]
//
// DRIVE is a host folder, loaded as drive C: (its empty folders too). The
// DOS is version 7.1 with the long-file-name services. PROGRAM, a full DOS
// path ("C:\WINDOWS\PUI.COM"), is started from the shell with DIR (default
// "\") as the current directory of C:. When it has ended, the drive as the
// program left it is written to --out, or back into DRIVE when no --out is
// given (whatever was there is replaced), as DOS sees it: without the files
// in which DOSBox-X keeps attributes. Whatever the shell or the program
// printed goes to standard error. A program that has not ended within the
// time limit (default 30 s), or an engine that stops or reports an error,
// fails the run: nothing is written then.
//
// Exit status: 0 done; 1 the run failed; 2 wrong use, or the package is
// missing. Names on the drive are taken as ASCII.
"use strict";

const fs = require("fs");
const path = require("path");

function fail(status, message) {
  process.stderr.write(`run_dos: ${message}\n`);
  process.exit(status);
}

function parseArguments(argv) {
  const options = { cd: "\\", timeout: 30, out: null, positional: [] };
  for (let i = 0; i < argv.length; i++) {
    const a = argv[i];
    if (a === "--cd" || a === "--timeout" || a === "--out") {
      if (i + 1 >= argv.length) fail(2, `${a} needs a value`);
      options[a.slice(2)] = argv[++i];
    } else if (a.startsWith("--")) {
      fail(2, `unknown option ${a}`);
    } else {
      options.positional.push(a);
    }
  }
  if (options.positional.length !== 2) {
    fail(2, "usage: run_dos.js DRIVE PROGRAM [--cd DIR] [--timeout SECONDS] [--out DIR]");
  }
  options.timeout = Number(options.timeout);
  if (!(options.timeout > 0)) fail(2, "--timeout needs a number of seconds above 0");
  [options.drive, options.program] = options.positional;
  return options;
}

// The files of a host folder, and those of its folders that hold no file at
// any depth (parents before children), as relative paths with "/" between
// their parts.
function readTree(root) {
  const files = [];
  const emptyDirs = [];
  (function walk(rel) {
    const filesBefore = files.length;
    const at = emptyDirs.length;
    if (rel !== "") emptyDirs.push(rel);
    for (const e of fs.readdirSync(path.join(root, rel), { withFileTypes: true })) {
      const child = rel === "" ? e.name : `${rel}/${e.name}`;
      if (e.isDirectory()) walk(child);
      else if (e.isFile()) files.push(child);
      else fail(2, `${path.join(root, child)} is neither a file nor a folder`);
    }
    // A folder with a file below it comes with that file.
    if (rel !== "" && files.length > filesBefore) emptyDirs.splice(at, 1);
  })("");
  return { files, emptyDirs };
}

// Whether a full DOS path ("C:\DIR\NAME") names one of the drive's files,
// with DOS's disregard for case.
function driveHasFile(files, dosPath) {
  const m = /^[cC]:\\(.+)$/.exec(dosPath);
  if (!m) return false;
  const wanted = m[1].split("\\").join("/").toUpperCase();
  return files.some((f) => f.toUpperCase() === wanted);
}

function dosboxConf(options, emptyDirs, marker) {
  const lines = [
    "[sdl]",
    "autolock=false", // never capture a mouse
    "[dosbox]",
    "fastbioslogo=true",
    "[cpu]",
    "cycles=max",
    "[mixer]",
    "nosound=true",
    "[speaker]",
    "pcspeaker=false",
    "[dos]",
    "ver=7.1",
    "lfn=true",
    "[autoexec]",
    "@echo off",
    // The drive is the folder "c" of the engine's own file system.
    "mount c c",
    "c:",
    `cd ${options.cd}`,
    ...emptyDirs.map((d) => `md "C:\\${d.split("/").join("\\")}"`),
    options.program,
    // Printed only once the program has ended and the shell goes on.
    `echo ${marker}`,
  ];
  return lines.join("\n") + "\n";
}

// The drive as the engine holds it, written to a host folder.
async function writeBack(ci, out) {
  const tree = await ci.fsTree();
  const drive = (tree.nodes || []).find((n) => n.name === "c" && n.nodes !== null);
  if (!drive) throw new Error("the engine's file system has no drive folder");
  const write = async (node, rel) => {
    for (const child of node.nodes) {
      // DOSBox-X keeps the DOS attributes that a host file cannot carry in
      // files of its own beside it, which DOS never sees.
      if (child.name.startsWith(".DBLOCALFILE")) continue;
      const childRel = `${rel}/${child.name}`;
      const host = path.join(out, ...childRel.split("/").slice(1));
      if (child.nodes !== null) {
        fs.mkdirSync(host, { recursive: true });
        await write(child, childRel);
      } else {
        fs.writeFileSync(host, await ci.fsReadFile(childRel));
      }
    }
  };
  fs.mkdirSync(out, { recursive: true });
  for (const entry of fs.readdirSync(out)) {
    fs.rmSync(path.join(out, entry), { recursive: true, force: true });
  }
  await write(drive, "c");
}

async function main() {
  const options = parseArguments(process.argv.slice(2));
  if (!fs.statSync(options.drive, { throwIfNoEntry: false })?.isDirectory()) {
    fail(2, `${options.drive} is no folder`);
  }
  const { files, emptyDirs } = readTree(options.drive);
  if (!driveHasFile(files, options.program)) {
    fail(2, `${options.program} is no file of the drive ${options.drive}`);
  }

  let emulators;
  try {
    require("emulators");
    emulators = global.emulators; // the package sets a global, exports nothing
  } catch (error) {
    fail(2, `the npm package "emulators" is missing (${error.code || error.message}): ` +
            "run scripts/setup, which installs it into tests/dosbox/node_modules");
  }
  emulators.pathPrefix = path.dirname(require.resolve("emulators")) + path.sep;

  const marker = `KRIZ-RUN-END-${process.pid}-${Date.now()}`;
  const init = [
    { dosboxConf: dosboxConf(options, emptyDirs, marker), jsdosConf: { version: "8" } },
    // The engine is handed each file's buffer whole: a fresh copy, never a
    // view into Node's shared pool of small Buffers.
    ...files.map((f) => ({
      path: `c/${f}`,
      contents: new Uint8Array(fs.readFileSync(path.join(options.drive, f))),
    })),
  ];

  const ci = await emulators.dosboxXNode(init);
  let output = "";
  const errors = [];
  // What the shell and the program printed: the screen's text after the
  // banner and the mount, without colour codes.
  const printed = () => output.replace(/\x1b\[[0-9;]*[A-Za-z]/g, "")
                            .split(/Drive C is mounted as local directory[^\n]*\n/).pop();
  const tail = () => printed().trimEnd().split(/\r?\n/).slice(-10).join("\n");

  await new Promise((resolve, reject) => {
    const timer = setTimeout(() => {
      reject(new Error(`${options.program} did not end within ${options.timeout} s; ` +
                       `the screen's last lines:\n${tail()}`));
    }, options.timeout * 1000);
    ci.events().onMessage((type, ...args) => {
      if (type === "error") errors.push(args.join(" "));
    });
    ci.events().onExit(() => {
      clearTimeout(timer);
      reject(new Error(`the engine stopped before the program ended:\n${tail()}`));
    });
    ci.events().onStdout((text) => {
      output += text;
      if (output.includes(marker)) {
        clearTimeout(timer);
        resolve();
      }
    });
  });
  if (errors.length > 0) throw new Error(`the engine reported:\n${errors.join("\n")}`);

  // Whatever the shell or the program printed (nothing, for a program that
  // prints nothing and is found), for the reader of a failed case.
  const said = printed().split(marker)[0].trim();
  if (said !== "") process.stderr.write(`run_dos: DOS said: ${said}\n`);

  await writeBack(ci, options.out || options.drive);
  await ci.exit();
}

main().then(() => process.exit(0), (error) => fail(1, error.message));
