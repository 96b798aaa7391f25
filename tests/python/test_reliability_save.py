"""Saving replaces a model file only once the new file is whole; paths holding NUL bytes are refused
as Python's open() refuses them; a file that cannot be opened for writing is refused, and one whose
directory takes no new file is written where it lies."""
import os
import resource
import shutil
import signal
import stat
import subprocess
import sys

import numpy as np
import pytest

from helpers import dense1d, input_data, v2_model
from ovrix import core


def large_model():
    """A model whose saved file is some hundreds of kilobytes (random weights do not compress)."""
    model = core.Model()
    model.add(input_data(width=16, height=16, channels=4))
    model.add(dense1d("dense", units=256, weights_bits=8))
    weights = np.random.default_rng(7).integers(-128, 128, size=(1024, 256), dtype=np.int8)
    model.get_layer("dense").variables["weights"] = weights
    return model


@pytest.mark.parametrize("suffix", ["\0.bak", "\0", "\0x"])
def test_paths_with_nul_bytes_are_refused(tmp_path, suffix):
    target = tmp_path / "model.fbz"
    v2_model().save(str(target))
    before = target.read_bytes()
    other = large_model()
    for path in (str(target) + suffix, os.fsencode(str(target) + suffix)):
        with pytest.raises(ValueError, match="^embedded null byte$"):
            other.save(path)
        with pytest.raises(ValueError, match="^embedded null byte$"):
            core.Model(path)
    assert target.read_bytes() == before
    assert os.listdir(tmp_path) == ["model.fbz"]


def limit_file_size(limit):
    """In the child: writes beyond `limit` bytes fail with EFBIG instead of killing the process."""
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, resource.RLIM_INFINITY))


def test_a_save_that_fails_part_way_keeps_the_old_file(tmp_path):
    target = tmp_path / "model.fbz"
    source = tmp_path / "large.fbz"
    v2_model().save(str(target))
    large_model().save(str(source))
    before = target.read_bytes()
    limit = 64 * 1024
    assert len(before) < limit < source.stat().st_size
    # Loading reads the large file; saving it over the small one then exceeds the file-size limit.
    child = subprocess.run(
        [sys.executable, "-c",
         "import sys\nfrom ovrix import core\nm = core.Model(sys.argv[1])\n"
         "try:\n    m.save(sys.argv[2])\nexcept Exception as e:\n    print(type(e).__name__, e)\n",
         str(source), str(target)],
        preexec_fn=lambda: limit_file_size(limit), capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr
    assert child.stdout == f"RuntimeError Unable to write model file: {target}\n"
    assert target.read_bytes() == before
    assert sorted(os.listdir(tmp_path)) == ["large.fbz", "model.fbz"]
    assert core.Model(str(target)).to_buffer() == v2_model().to_buffer()


def test_a_replaced_file_keeps_its_mode_and_links(tmp_path):
    target = tmp_path / "model.fbz"
    target.write_bytes(b"old")
    target.chmod(0o640)
    link = tmp_path / "link.fbz"
    link.symlink_to(target.name)
    model = v2_model()
    model.save(str(link))
    assert link.is_symlink() and os.readlink(link) == "model.fbz"
    assert stat.S_IMODE(target.stat().st_mode) == 0o640
    assert core.Model(str(target)).to_buffer() == model.to_buffer()
    assert sorted(os.listdir(tmp_path)) == ["link.fbz", "model.fbz"]


@pytest.mark.parametrize("name", ["", "missing/", "."])
def test_paths_that_name_no_file_cannot_be_opened(tmp_path, monkeypatch, name):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(ValueError, match="^Unable to open file for saving model: "):
        v2_model().save(name)
    assert os.listdir(tmp_path) == []


def test_a_new_file_gets_the_mode_the_umask_allows(tmp_path):
    old = os.umask(0o027)
    try:
        v2_model().save(str(tmp_path / "model.fbz"))
    finally:
        os.umask(old)
    assert stat.S_IMODE((tmp_path / "model.fbz").stat().st_mode) == 0o640


# --- permissions: the file's own first, then the directory's ---------------------------------------

SAVE = ("import sys\nfrom ovrix import core\nm = core.Model(sys.argv[1])\n"
        "try:\n    m.save(sys.argv[2])\nexcept Exception as e:\n    print(type(e).__name__, e)\n")


def save_unprivileged(source, target, prefix=(), **kwargs):
    """Saves the model file `source` as `target` in a process that file permissions apply to: root's
    capabilities are dropped (the kernel checks no permission for a privileged process)."""
    args = [*prefix, sys.executable, "-c", SAVE, str(source), str(target)]
    if os.geteuid() == 0:
        if shutil.which("setpriv") is None:
            pytest.skip("needs setpriv to drop root's capabilities")
        args = ["setpriv", "--inh-caps=-all", "--bounding-set=-all", *args]
    child = subprocess.run(args, capture_output=True, text=True, timeout=120, **kwargs)
    assert child.returncode == 0, child.stderr
    return child.stdout


@pytest.fixture
def saved(tmp_path):
    source, old = tmp_path / "source.fbz", tmp_path / "work" / "model.fbz"
    old.parent.mkdir()
    large_model().save(str(source))
    v2_model().save(str(old))
    return source, old


def test_a_read_only_file_is_refused_and_left_whole(saved):
    source, target = saved
    before = target.read_bytes()
    target.chmod(0o444)  # in a directory that would take a new file
    assert save_unprivileged(source, target) == f"ValueError Unable to open file for saving model: {target}\n"
    assert target.read_bytes() == before and stat.S_IMODE(target.stat().st_mode) == 0o444
    assert os.listdir(target.parent) == ["model.fbz"]


@pytest.fixture
def locked(saved):
    """The target's directory takes no new entry."""
    saved[1].parent.chmod(0o555)
    yield saved
    saved[1].parent.chmod(0o755)


def test_a_file_whose_directory_takes_no_new_entry_is_written_where_it_lies(locked):
    source, target = locked
    inode = target.stat().st_ino
    assert save_unprivileged(source, target) == ""
    assert target.stat().st_ino == inode and os.listdir(target.parent) == ["model.fbz"]
    assert core.Model(str(target)).to_buffer() == core.Model(str(source)).to_buffer()
    new = target.parent / "new.fbz"
    assert save_unprivileged(source, new) == f"ValueError Unable to open file for saving model: {new}\n"
    assert not new.exists()


def test_a_write_in_place_that_fails_is_reported(locked):
    source, target = locked
    limit = 64 * 1024
    assert target.stat().st_size < limit < source.stat().st_size
    out = save_unprivileged(source, target, preexec_fn=lambda: limit_file_size(limit))
    assert out == f"ValueError Unable to open file for saving model: {target}\n"
    assert os.listdir(target.parent) == ["model.fbz"]


def test_a_file_mounted_on_its_own_is_written_where_it_lies(saved):
    # A bind mount cannot be renamed over (EBUSY): the save writes through it into the mounted file.
    source, target = saved
    mounted = target.parent / "mounted.fbz"
    mounted.write_bytes(b"")
    script = f'mount --bind "{target}" "{mounted}" && exec "$@"'
    if subprocess.run(["unshare", "-m", "sh", "-c", script, "sh", "true"], capture_output=True).returncode != 0:
        pytest.skip("cannot bind-mount a file here")
    child = subprocess.run(["unshare", "-m", "sh", "-c", script, "sh", sys.executable, "-c", SAVE, str(source),
                            str(mounted)], capture_output=True, text=True, timeout=120)
    assert child.returncode == 0 and child.stdout == "", child.stdout + child.stderr
    assert core.Model(str(target)).to_buffer() == core.Model(str(source)).to_buffer()
    assert sorted(os.listdir(target.parent)) == ["model.fbz", "mounted.fbz"]
