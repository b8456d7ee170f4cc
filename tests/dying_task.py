"""An evaluation task whose worker process dies: the first episode to run anywhere kills its
worker (DYING_TASK_ALWAYS: every episode does); the others end at once."""

import os
import signal


def run_episode(r, seconds, control_period):
    try:
        always = os.environ.get("DYING_TASK_ALWAYS") == "1"
        if always or os.open(os.environ["DYING_TASK_MARK"], os.O_CREAT | os.O_EXCL | os.O_WRONLY) >= 0:
            os.kill(os.getpid(), signal.SIGKILL)
    except FileExistsError:
        pass
    r.get_obs()
    r.finish()
    return None, 0.0
