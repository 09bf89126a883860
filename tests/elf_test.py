"""The built programs' ELF files: what they link, how they load, and what latmeter's
timed loops hold."""
import unittest

from elf import aligned, linkage, loops, pages
from harness import opt


class Linkage(unittest.TestCase):  # group
    def test_what_each_program_needs(self):
        for exe in opt.programs.values():
            self.assertTrue(linkage(opt.linkage, exe), exe)

    def test_the_buffer_on_its_own_64_kib_page(self):
        self.assertTrue(aligned("test_read_buf", 65536, opt.exe))


class Pages(unittest.TestCase):  # group: arm
    def test_loadable_on_4_16_and_64_kib_pages(self):
        self.assertTrue(pages(*opt.programs.values()))


class TimedLoops(unittest.TestCase):  # group: uninstrumented
    def test_nothing_but_the_counted_calls_between_the_clock_reads(self):
        self.assertTrue(loops(opt.objdump, opt.exe))
