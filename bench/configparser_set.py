#!/usr/bin/env python3
"""A configparser read-modify-write, as a Python peer would do it (it drops every comment).

  configparser_set.py FILE VALUE|--delete
"""
import configparser
import sys

parser = configparser.ConfigParser(interpolation=None, strict=False)
parser.optionxform = str
parser.read(sys.argv[1], encoding="latin-1")
if sys.argv[2] == "--delete":
    if parser.has_section("tovrin"):
        parser.remove_option("tovrin", "mdb")
else:
    if not parser.has_section("tovrin"):
        parser.add_section("tovrin")
    parser.set("tovrin", "mdb", sys.argv[2])
with open(sys.argv[1], "w", encoding="latin-1") as out:
    parser.write(out)
