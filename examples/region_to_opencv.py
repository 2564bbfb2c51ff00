"""A region of the screen at a fixed rate into OpenCV: 30 frames a second of a 640x360
rectangle, in OpenCV's own BGR layout, with the fraction of edge pixels in each. Needs
OpenCV (pip install opencv-python).

    python examples/region_to_opencv.py [seconds]
"""
import sys
import time

import cv2

import vistrel


def main(seconds: float) -> None:
    with vistrel.Capturer(0) as capturer:
        region = (0, 0, min(640, capturer.width), min(360, capturer.height))
        # frames() waits for the first change of the desktop; until then there is the
        # current image.
        print(f"current mean: {capturer.screenshot(fmt='gray', region=region).mean():.1f}")
        with capturer.frames(30, fmt="bgr", region=region, timeout_ms=10_000) as frames:
            for frame, at in frames:  # every 1/30 s; a still desktop repeats the last frame
                edges = cv2.Canny(cv2.cvtColor(frame, cv2.COLOR_BGR2GRAY), 100, 200)
                print(f"{at:6.3f} s  edges {cv2.countNonZero(edges) / edges.size:.3f}")
                if at >= seconds:
                    break


if __name__ == "__main__":
    main(float(sys.argv[1]) if len(sys.argv) > 1 else 2.0)
