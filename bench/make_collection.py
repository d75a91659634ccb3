#!/usr/bin/env python3
"""Writes a collection for bench/cluster_speed.sh: COUNT containers directly
in FOLDER, in turn a program (every third one infected), a folder of five
programs and a text, a ZIP of four programs, and a 1.44 MB FAT image of
three programs. Specimens come from krizspec; nothing real is used.

  bench/make_collection.py KRIZSPEC FOLDER COUNT
"""
import io
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile

krizspec, folder, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
env = dict(os.environ, MTOOLS_SKIP_CHECK="1")
work = tempfile.mkdtemp()
try:
    clean_path = os.path.join(work, "clean.exe")
    infected_path = os.path.join(work, "infected.exe")
    subprocess.run([krizspec, "image", clean_path], check=True, stdout=subprocess.DEVNULL)
    subprocess.run([krizspec, "infect", clean_path, infected_path], check=True,
                   stdout=subprocess.DEVNULL)
    clean = open(clean_path, "rb").read()
    infected = open(infected_path, "rb").read()
    programs = [infected if i % 3 == 0 else clean for i in range(5)]
    archive = io.BytesIO()
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as z:
        for i in range(4):
            z.writestr("GAME%d.EXE" % i, programs[i])
    image = os.path.join(work, "floppy.img")
    subprocess.run(["mkfs.fat", "-C", image, "1440"], check=True, stdout=subprocess.DEVNULL)
    for i in range(3):
        subprocess.run(["mcopy", "-i", image, infected_path if i == 0 else clean_path,
                        "::/PROG%d.EXE" % i], check=True, env=env)
    os.makedirs(folder, exist_ok=True)
    for n in range(count):
        kind = n % 4
        if kind == 0:
            with open(os.path.join(folder, "prog%06d.exe" % n), "wb") as f:
                f.write(programs[n % 3])
        elif kind == 1:
            sub = os.path.join(folder, "disk%06d" % n)
            os.makedirs(sub)
            for i, data in enumerate(programs):
                with open(os.path.join(sub, "P%d.EXE" % i), "wb") as f:
                    f.write(data)
            with open(os.path.join(sub, "README.TXT"), "wb") as f:
                f.write(b"read me\r\n")
        elif kind == 2:
            with open(os.path.join(folder, "archive%06d.zip" % n), "wb") as f:
                f.write(archive.getvalue())
        else:
            shutil.copy(image, os.path.join(folder, "floppy%06d.img" % n))
finally:
    shutil.rmtree(work)
