"""Record output 0 into an MP4 at 30 frames a second (needs PyAV: pip install 'vistrel[video]').
The command line does the same with more care: vistrel record -o clip.mp4.

    python examples/record_mp4.py clip.mp4 [seconds]
"""
import sys
from fractions import Fraction

import av

import vistrel

FPS = 30


def main(path: str, seconds: float) -> None:
    with vistrel.Capturer(0) as capturer, av.open(path, mode="w") as container:
        stream = container.add_stream("h264", rate=FPS)
        stream.width, stream.height = capturer.width & ~1, capturer.height & ~1  # 4:2:0 needs even sizes
        stream.pix_fmt = "yuv420p"
        stream.time_base = Fraction(1, FPS)
        # The iterator's first frame is the desktop's first change (CaptureTimeout if none
        # comes within timeout_ms); after it, one frame per slot, repeated when nothing changed.
        with capturer.frames(FPS, fmt="rgb", timeout_ms=10_000) as frames:
            for slot, (image, at) in enumerate(frames):
                if at >= seconds:
                    break
                frame = av.VideoFrame.from_ndarray(image[: stream.height, : stream.width], format="rgb24")
                frame.pts = slot
                container.mux(stream.encode(frame))
        container.mux(stream.encode())  # flush the encoder
    print(f"{path}: {seconds} s")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "clip.mp4", float(sys.argv[2]) if len(sys.argv) > 2 else 3.0)
