"""scripts/lib.sh's stages, as ./test.sh --all runs them: CI shows only the
end of a run, so the summary must repeat the end of each failed stage."""

import re
import shutil
import subprocess
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]

SCRIPT = """
source scripts/lib.sh
set +e
nested() { bash -c 'source scripts/lib.sh; run_stage inner false; stage_summary "inner summary"'; }
run_stage "quiet one" echo ok-output
run_stage "loud one (x)" bash -c 'for i in $(seq 1 60); do echo "line $i"; done; echo last >&2; exit 3'
run_stage nesting nested
stage_summary summary
"""


@pytest.mark.skipif(not shutil.which("bash"), reason="needs bash")
def test_summary_repeats_the_end_of_each_failed_stage(tmp_path):
    done = subprocess.run(
        ["bash", "-c", SCRIPT],
        cwd=REPO,
        env={"PATH": "/usr/bin:/bin", "STAGE_LOGS": str(tmp_path)},
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert done.returncode == 1, done.stderr
    out = re.sub(r"\(\d+s\)", "(Ns)", done.stdout)
    end = out[out.index("== the end of loud one (x)'s output") : out.index("== summary")]
    assert end.splitlines()[1:] == [f"line {i}" for i in range(22, 61)] + ["last"] + [
        f"== the end of nesting's output ({tmp_path}/nesting.log)",
        "== inner",
        "== inner summary",
        "  inner: FAILED (Ns)",
    ]
    assert out.count("ok-output") == 1
    assert out.endswith("  quiet one: passed (Ns)\n  loud one (x): FAILED (Ns)\n  nesting: FAILED (Ns)\n")
