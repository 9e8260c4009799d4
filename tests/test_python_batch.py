"""veerpix.batch: one operation over many files, here, in a process pool
and on a local Dask cluster of two worker processes.

Run as the python test is (VEERPIX_LIBRARY, PYTHONPATH); the Dask case
needs Debian's python3-distributed.
"""

import concurrent.futures
import os
import pathlib
import tempfile
import unittest

import veerpix
from test_python import PICTURE, A, B, C, D, E, F, read_bmp, write_bmp

TURNED = [[C, F], [B, E], [A, D]]  # PICTURE a quarter turn counter-clockwise

try:
    import distributed
except ImportError:  # pragma: no cover - CI installs it
    distributed = None


class BatchTestCase(unittest.TestCase):
    def setUp(self):
        temporary = tempfile.TemporaryDirectory(prefix="veerpix-batch-")
        self.addCleanup(temporary.cleanup)
        self.folder = pathlib.Path(temporary.name)
        self.inputs = self.folder / "in"
        self.inputs.mkdir()
        # Good and broken files mixed, so that order and messages show.
        self.files = []
        for name in ("a.bmp", "broken.bmp", "b.bmp", "missing.bmp",
                     "c.bmp"):
            path = self.inputs / name
            if name == "broken.bmp":
                path.write_bytes(b"GIF89a\x01\x00\x01\x00")
            elif name != "missing.bmp":
                write_bmp(path, PICTURE)
            self.files.append(str(path))
        self.out = self.folder / "out"
        self.out.mkdir()

    def check_results(self, results):
        self.assertEqual([result.input for result in results], self.files)
        expected_ok = [True, False, True, False, True]
        self.assertEqual([result.ok for result in results], expected_ok)
        for result in results:
            with self.subTest(result.input):
                name = os.path.basename(result.input)
                self.assertEqual(result.output, str(self.out / name))
                if result.ok:
                    self.assertEqual(result.message, "")
                    self.assertEqual(read_bmp(result.output), TURNED)
                else:
                    self.assertFalse(os.path.exists(result.output))
        self.assertEqual(results[1].message,
                         f"unsupported input format: {self.files[1]}")
        self.assertEqual(results[3].message,
                         f"cannot read input file: {self.files[3]}")


class BatchTest(BatchTestCase):
    def test_in_this_process(self):
        self.check_results(veerpix.batch(veerpix.rotate, self.files, 90,
                                         out_dir=self.out))

    def test_in_a_process_pool(self):
        with concurrent.futures.ProcessPoolExecutor(2) as pool:
            results = veerpix.batch("rotate", self.files, 90,
                                    out_dir=self.out, executor=pool)
        self.check_results(results)

    def test_pairs_and_keywords(self):
        output = self.folder / "angled.bmp"
        results = veerpix.batch(veerpix.angle, [(self.files[0], output)],
                                45, background=(1, 2, 3))
        self.assertTrue(results[0].ok, results[0].message)
        self.assertEqual(read_bmp(output)[0][0], (1, 2, 3))

    def test_a_failing_worker_is_one_failed_file(self):
        class Lost:
            def result(self):
                raise ConnectionError("worker gone")

        class HalfBroken:
            """Runs every other file, loses the rest."""

            def __init__(self):
                self.calls = 0

            def submit(self, function, *arguments):
                self.calls += 1
                if self.calls % 2 == 0:
                    return Lost()
                future = concurrent.futures.Future()
                future.set_result(function(*arguments))
                return future

        results = veerpix.batch(veerpix.flip_h, self.files[:2] + self.files[2:3],
                                out_dir=self.out, executor=HalfBroken())
        self.assertEqual([result.ok for result in results], [True, False, True])
        self.assertEqual(results[1].message, "ConnectionError: worker gone")

    def test_argument_mistakes_are_per_file_results(self):
        results = veerpix.batch(veerpix.rotate, self.files[:1], 2 ** 40,
                                out_dir=self.out)
        self.assertFalse(results[0].ok)
        self.assertIn("does not fit a C int", results[0].message)

    def test_refuses_what_is_not_an_operation(self):
        for operation in (print, "spin", lambda a, b: None):
            with self.subTest(repr(operation)):
                with self.assertRaises(ValueError):
                    veerpix.batch(operation, self.files, out_dir=self.out)
        with self.assertRaises(ValueError):
            veerpix.batch(veerpix.flip_h, self.files)  # no outputs named


@unittest.skipIf(distributed is None,
                 "dask.distributed not installed (Debian: python3-distributed)")
class DaskTest(BatchTestCase):
    def test_local_cluster_of_two_worker_processes(self):
        with distributed.LocalCluster(n_workers=2, processes=True,
                                      threads_per_worker=1,
                                      dashboard_address=None,
                                      silence_logs=40) as cluster, \
                distributed.Client(cluster, timeout=60) as client:
            results = veerpix.batch(veerpix.rotate, self.files, 90,
                                    out_dir=self.out, executor=client)
            workers = client.run(os.getpid)
        self.check_results(results)
        self.assertEqual(len(set(workers.values())), 2)
        self.assertNotIn(os.getpid(), workers.values())


if __name__ == "__main__":
    unittest.main()
