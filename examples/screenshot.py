"""Save what output 0 shows now, as a PNG (with Pillow) or a .npy file.

    python examples/screenshot.py shot.png
"""
import sys

import numpy as np

import vistrel


def main(path: str) -> None:
    image = vistrel.screenshot(0, fmt="rgb")  # (height, width, 3) uint8, pointer drawn in
    if path.endswith(".npy"):
        np.save(path, image)
    else:
        from PIL import Image

        Image.fromarray(image).save(path)
    print(f"{path}: {image.shape[1]}x{image.shape[0]}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "shot.png")
