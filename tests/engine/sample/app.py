from sample import helpers


class Job:
    def __init__(self, name):
        self.name = name

    def run(self, times):
        total = 0
        for i in range(times):
            total += helpers.double(i)
        return total


def main():
    job = Job("nightly")
    return job.run(2)
