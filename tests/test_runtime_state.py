"""The runtime state file: its exact bytes, where it goes, and how it is replaced."""

import os
import stat
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import joystick
import robot


def state_file(state_dir, domain):
    return state_dir / f"tarvek_sdk_runtime_state_{domain}.txt"


@pytest.fixture
def gains_robot(sim, domain, state_dir):
    r = robot.Robot(domain)
    sim.wait_matched("user_gains")
    return r


def test_worked_example_bytes(gains_robot, state_dir, domain):
    gains_robot.set_gains([20, 20, 20, 20], [0.5, 0.5, 0.5, 0.5])
    assert state_file(state_dir, domain).read_bytes() == b"4\n20\n20\n20\n20\n4\n0.5\n0.5\n0.5\n0.5\n"


@pytest.mark.parametrize(
    "value, text",
    [
        (1e6, "1e+06"),
        (123.456, "123.456"),
        (0.0001, "0.0001"),
        (0.00001, "1e-05"),
        (-3.25, "-3.25"),
        (0.1, "0.1"),
        (1234567, "1.23457e+06"),
        (999999.5, "1e+06"),
        (0.0, "0"),
        (-0.0, "-0"),
        (100000, "100000"),
        (1e-38, "1e-38"),
    ],
)
def test_values_are_printed_like_percent_g(gains_robot, state_dir, domain, value, text):
    gains_robot.set_gains([value, 1, 2, 3], [4, 5, 6, value])
    lines = state_file(state_dir, domain).read_text().split("\n")
    assert lines[1] == text and lines[9] == text


def test_locale_does_not_change_the_decimal_point(gains_robot, state_dir, domain):
    import locale

    old = locale.setlocale(locale.LC_NUMERIC)
    try:
        for name in ("de_DE.UTF-8", "fr_FR.UTF-8", "C.UTF-8"):
            try:
                locale.setlocale(locale.LC_NUMERIC, name)
                break
            except locale.Error:
                continue
        gains_robot.set_gains([0.5] * 4, [1.25] * 4)
    finally:
        locale.setlocale(locale.LC_NUMERIC, old)
    assert "0.5\n" in state_file(state_dir, domain).read_text()


def test_second_call_replaces_the_first(gains_robot, state_dir, domain):
    gains_robot.set_gains([1, 2, 3, 4], [5, 6, 7, 8])
    gains_robot.set_gains([9, 9, 9, 9], [0.25] * 4)
    assert state_file(state_dir, domain).read_text() == "4\n9\n9\n9\n9\n4\n0.25\n0.25\n0.25\n0.25\n"


def test_nothing_is_created_before_set_gains(state_dir, domain):
    robot.Robot(domain)
    assert list(state_dir.iterdir()) == []


def test_failed_set_gains_leaves_the_file_as_it_was(gains_robot, state_dir, domain):
    gains_robot.set_gains([1, 2, 3, 4], [5, 6, 7, 8])
    before = state_file(state_dir, domain).read_bytes()
    with pytest.raises(RuntimeError, match="kp length mismatch: expected 4, got 3"):
        gains_robot.set_gains([1, 2, 3], [1, 2, 3, 4, 5])
    assert state_file(state_dir, domain).read_bytes() == before


def test_path_is_fixed_at_construction(gains_robot, state_dir, domain, tmp_path, monkeypatch):
    other = tmp_path / "other"
    other.mkdir()
    monkeypatch.setenv("TMPDIR", str(other))
    gains_robot.set_gains([1, 2, 3, 4], [5, 6, 7, 8])
    assert state_file(state_dir, domain).exists()
    assert list(other.iterdir()) == []


def test_a_planted_link_is_replaced_not_followed(gains_robot, state_dir, domain, tmp_path):
    victim = tmp_path / "victim.txt"
    victim.write_text("precious")
    state_file(state_dir, domain).symlink_to(victim)
    gains_robot.set_gains([1, 2, 3, 4], [5, 6, 7, 8])
    assert victim.read_text() == "precious"
    path = state_file(state_dir, domain)
    assert not path.is_symlink()
    assert path.read_text().startswith("4\n1\n")
    # No temporary files are left behind.
    assert sorted(p.name for p in state_dir.iterdir()) == [path.name]


def test_permissions_follow_the_umask(gains_robot, state_dir, domain):
    old = os.umask(0o027)
    try:
        gains_robot.set_gains([1, 2, 3, 4], [5, 6, 7, 8])
    finally:
        os.umask(old)
    mode = stat.S_IMODE(state_file(state_dir, domain).stat().st_mode)
    assert mode == 0o640


def test_unwritable_path_sends_gains_then_raises(gains_robot, sim, state_dir, domain):
    state_file(state_dir, domain).mkdir()
    mark = sim.mark()
    with pytest.raises(RuntimeError, match="^failed to open runtime state file for writing$"):
        gains_robot.set_gains([1, 2, 3, 4], [5, 6, 7, 8])
    sim.wait_sample("user_gains", start=mark, kp=[1, 2, 3, 4])
    # The gains were not recorded, so actions are still refused.
    with pytest.raises(RuntimeError, match=r"^Call setGains\(\) before doAction\(\)$"):
        gains_robot.do_action([0, 0, 0, 0])


# -- who may write it: what a plain open for writing would allow --------------------------
# The writer runs as root without any capability: file permissions then bind it as they bind
# an ordinary user, while files owned by root are its own.

OTHER = 65534  # nobody


def set_gains_without_privileges(state_dir: Path, domain: int) -> str:
    code = textwrap.dedent(
        f"""
        import robot
        try:
            robot.Robot({domain}).set_gains([9, 9, 9, 9], [1, 1, 1, 1])
            print("ok")
        except RuntimeError as e:
            print(e)
        """
    )
    out = subprocess.run(["setpriv", "--bounding-set=-all", "--inh-caps=-all", "--",
                          sys.executable, "-c", code], capture_output=True, text=True, timeout=30,
                         env={**os.environ, "TMPDIR": str(state_dir)})
    assert out.returncode == 0, out.stderr
    return out.stdout.strip().splitlines()[-1]


NEW_TEXT = "4\n9\n9\n9\n9\n4\n1\n1\n1\n1\n"
FAILED = "failed to open runtime state file for writing"
ME = 0


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to set up files of other users")
@pytest.mark.parametrize(
    "dir_owner, dir_mode, existing, outcome",
    [
        # A file the user could not open for writing is not replaced behind its owner's back.
        (ME, 0o777, ("file", OTHER, 0o644), "refused"),
        # A file the user may write, where no new file can be made: written in place.
        (OTHER, 0o755, ("file", ME, 0o644), "in-place"),
        # Sticky directory, someone else's file that everyone may write: the rename is
        # refused, a plain open is not.
        (OTHER, 0o1777, ("file", OTHER, 0o666), "in-place"),
        (ME, 0o755, ("file", ME, 0o644), "replaced"),
        (OTHER, 0o755, None, "refused"),
        # Never through a link, even when nothing else can be done.
        (OTHER, 0o755, ("link", ME, 0o644), "refused"),
        (ME, 0o755, ("link", ME, 0o644), "replaced"),
        (OTHER, 0o755, ("hardlink", ME, 0o644), "refused"),
        (ME, 0o755, ("hardlink", ME, 0o644), "replaced"),
    ],
    ids=["foreign-file", "unwritable-dir", "sticky-dir", "both-writable", "no-file-unwritable-dir",
         "link-unwritable-dir", "link-writable-dir", "hardlink-unwritable-dir",
         "hardlink-writable-dir"],
)
def test_writing_is_allowed_where_a_plain_open_would_be(sim, domain, tmp_path, dir_owner, dir_mode,
                                                         existing, outcome):
    d = tmp_path / "state"
    d.mkdir()
    path = state_file(d, domain)
    victim = tmp_path / "victim.txt"
    # Longer than the new text, so that writing in place without truncating shows.
    old = "old\n" * 20
    if existing:
        kind, owner, mode = existing
        target = path if kind == "file" else victim
        target.write_text(old)
        os.chown(target, owner, owner)
        os.chmod(target, mode)
        if kind == "link":
            path.symlink_to(victim)
        elif kind == "hardlink":
            os.link(victim, path)
    os.chown(d, dir_owner, dir_owner)
    os.chmod(d, dir_mode)
    before = path.lstat().st_ino if existing else None
    result = set_gains_without_privileges(d, domain)
    if outcome == "refused":
        assert result == FAILED
        assert (path.read_text() if path.exists() else None) == (old if existing else None)
    else:
        assert result == "ok"
        assert path.read_text() == NEW_TEXT and not path.is_symlink()
        assert (path.lstat().st_ino == before) == (outcome == "in-place")
    if existing and existing[0] != "file":
        assert victim.read_text() == old
    # No temporary file is left behind, whatever happened.
    assert [p.name for p in d.iterdir()] == ([path.name] if existing or outcome != "refused" else [])


# -- where it goes ----------------------------------------------------------------------------

TEMP_VARS = ["TMPDIR", "TMP", "TEMP", "TEMPDIR"]


@pytest.mark.parametrize("winner", TEMP_VARS + [None], ids=TEMP_VARS + ["none-set"])
def test_the_first_temporary_directory_variable_that_is_set_wins(sim, domain, tmp_path, monkeypatch,
                                                                 winner):
    # The variables after the winner name a directory that does not exist: consulting any of
    # them would fail the construction.
    expected = Path("/tmp") if winner is None else tmp_path / winner
    rank = len(TEMP_VARS) if winner is None else TEMP_VARS.index(winner)
    for i, var in enumerate(TEMP_VARS):
        if i < rank:
            monkeypatch.delenv(var, raising=False)
        elif i == rank:
            expected.mkdir()
            monkeypatch.setenv(var, str(expected))
        else:
            monkeypatch.setenv(var, str(tmp_path / "missing"))
    path = state_file(expected, domain)
    existed = path.exists()
    r = robot.Robot(domain)
    sim.wait_matched("user_gains")
    try:
        r.set_gains([1, 2, 3, 4], [5, 6, 7, 8])
        assert path.read_text().startswith("4\n1\n")
    finally:
        if winner is None and not existed:
            path.unlink(missing_ok=True)


@pytest.mark.parametrize("construct", [robot.Robot, lambda d: joystick.Joystick(dds_domain_id=d)],
                         ids=["robot", "joystick"])
@pytest.mark.parametrize("kind, reason", [("missing", "No such file or directory"),
                                          ("regular-file", "Not a directory")])
def test_an_unusable_temporary_directory_fails_construction(tmp_path, monkeypatch, domain, construct,
                                                            kind, reason):
    tmpdir = tmp_path / "tmpdir"
    if kind == "regular-file":
        tmpdir.write_text("")
    monkeypatch.setenv("TMPDIR", str(tmpdir))
    # Later variables are not a fallback for an unusable first one.
    monkeypatch.setenv("TMP", str(tmp_path))
    with pytest.raises(RuntimeError) as err:
        construct(domain)
    assert str(err.value) == f"filesystem error: temp_directory_path: {reason}"
