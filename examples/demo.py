"""What the three native modules offer (the driver demo replaces this)."""

import tarn.driver.common.plinth as plinth
import tarn.terminal.terminal as terminal

for module in (plinth, terminal):
    names = [n for n in vars(module) if not n.startswith("__")]
    print(f"{module.__name__}: {', '.join(names)}")
try:
    import tarn.terminal.ssh as ssh
except ImportError as exc:  # paramiko missing on this interpreter
    print(f"tarn.terminal.ssh: unavailable ({exc})")
else:
    print(f"{ssh.__name__}: {', '.join(n for n in vars(ssh) if not n.startswith('__'))}")
